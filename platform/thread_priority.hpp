// Scheduling priority of the calling thread.
#pragma once

namespace kvt::platform {

enum class thread_priority {
  highest,        // the exchange, command server and ROS buffer threads
  time_critical,  // the drivers' scan threads
};

// Raises the calling thread's priority. Failures (no permission) are ignored:
// the thread then runs at normal priority.
void set_current_thread_priority(thread_priority priority) noexcept;

// Raises the whole process's priority (the "high" class): the threads that
// start afterwards inherit it. Failures are ignored.
void raise_process_priority() noexcept;

}  // namespace kvt::platform
