// Scheduling priority of the calling thread.
#pragma once

#include <sys/types.h>

#include <vector>

namespace kvt::platform {

enum class thread_priority {
  highest,        // the exchange, command server and ROS buffer threads
  time_critical,  // the drivers' scan threads
};

// How a thread got its priority.
enum class priority_path {
  none = 0,    // it runs at normal priority: neither allowed nor granted
  direct = 1,  // set by the thread itself (root, CAP_SYS_NICE or RLIMIT_NICE)
  broker = 2,  // granted by the desktop's realtime broker (RealtimeKit)
};

const char* to_string(priority_path path) noexcept;

// Raises the calling thread's priority: directly where this user may, else
// through the realtime broker. Without either the thread runs at normal
// priority, and the process says so once on standard error.
priority_path set_current_thread_priority(thread_priority priority) noexcept;

// Raises the process's priority (the "high" class) by the same means. It
// covers the calling thread (the UI thread, or the page's script thread in a
// web process) and, when set directly, the threads it starts afterwards; a
// broker's grant is not inherited.
priority_path raise_process_priority() noexcept;

// One request for a thread, as it was answered.
struct priority_grant {
  pid_t thread = 0;    // kernel thread id
  int requested = 0;   // niceness wished for
  int niceness = 0;    // niceness set (the broker may allow less than the wish)
  priority_path path = priority_path::none;
};

// The requests of this process so far, oldest first (the latest 64).
std::vector<priority_grant> priority_grants();

// The path of the calling thread's latest request (none before any).
priority_path current_thread_priority_path() noexcept;

// The calling thread's kernel id.
pid_t current_thread_id() noexcept;

}  // namespace kvt::platform
