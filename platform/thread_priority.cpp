#include "platform/thread_priority.hpp"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

namespace kvt::platform {

namespace {
// Niceness per priority. These threads spin while they wait for the page or
// for the end of a scan period; under a real-time policy a spinning thread
// would starve the page's own process on a small machine, so they stay in the
// normal scheduling class and get the strongest niceness instead.
int niceness(thread_priority priority) noexcept {
  switch (priority) {
    case thread_priority::highest: return -10;
    case thread_priority::time_critical: return -15;
  }
  return 0;
}
}  // namespace

void set_current_thread_priority(thread_priority priority) noexcept {
  // On Linux a thread id names that thread alone for setpriority.
  const auto tid = static_cast<id_t>(syscall(SYS_gettid));
  (void)setpriority(PRIO_PROCESS, tid, niceness(priority));
}

void raise_process_priority() noexcept {
  // Only ever raise: a process that already runs at a stronger niceness keeps it.
  constexpr int high_class = -5;
  errno = 0;
  const int current = getpriority(PRIO_PROCESS, 0);
  if (errno == 0 && current <= high_class) return;
  (void)setpriority(PRIO_PROCESS, 0, high_class);
}

}  // namespace kvt::platform
