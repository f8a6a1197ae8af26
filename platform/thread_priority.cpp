#include "platform/thread_priority.hpp"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <deque>
#include <mutex>
#include <string>

#include "platform/realtime_broker.hpp"

namespace kvt::platform {

namespace {
// Niceness per priority. These threads spin while they wait for the page or
// for the end of a scan period; under a real-time policy a spinning thread
// would starve the page's own process on a small machine, so they stay in the
// normal scheduling class and get the strongest niceness instead. For the
// same reason the realtime broker is only asked for niceness, never for its
// real-time class: that class would need RLIMIT_RTTIME, and a thread that
// spins past the limit gets the whole process killed.
int niceness(thread_priority priority) noexcept {
  switch (priority) {
    case thread_priority::highest: return -10;
    case thread_priority::time_critical: return -15;
  }
  return 0;
}

constexpr int high_class = -5;
constexpr std::size_t kept_grants = 64;

thread_local priority_path this_thread_path = priority_path::none;
thread_local int this_thread_wish = 0;
thread_local int this_thread_niceness = 0;

std::mutex grants_mutex;
std::deque<priority_grant>& grants() {
  static std::deque<priority_grant> list;
  return list;
}

void remember(const priority_grant& grant) noexcept {
  this_thread_path = grant.path;
  this_thread_wish = grant.requested;
  this_thread_niceness = grant.niceness;
  try {
    std::lock_guard lock(grants_mutex);
    auto& list = grants();
    if (list.size() == kept_grants) list.pop_front();
    list.push_back(grant);
  } catch (...) {
    // Only the record is lost.
  }
}

// The calling thread's niceness; false when it cannot be read.
bool current_niceness(int& value) noexcept {
  errno = 0;
  value = getpriority(PRIO_PROCESS, static_cast<id_t>(current_thread_id()));
  return errno == 0;
}

// One line per process, however many threads end up without priority.
void say_normal_priority(const std::string& reason) noexcept {
  static std::atomic<bool> said{false};
  if (said.exchange(true)) return;
  std::fprintf(stderr,
               "Kestrel Connect: threads run at normal priority (%s); for raised priorities as a normal "
               "user install the realtime broker, Debian package rtkit\n",
               reason.c_str());
}

// Direct call, then the broker, then normal priority.
priority_path raise_thread(pid_t tid, int wish) noexcept {
  priority_grant grant{tid, wish, wish, priority_path::direct};
  // On Linux a thread id names that thread alone for setpriority.
  if (setpriority(PRIO_PROCESS, static_cast<id_t>(tid), wish) == 0) {
    remember(grant);
    return grant.path;
  }
  const broker_answer answer = ask_realtime_broker(tid, wish);
  grant.niceness = answer.niceness;
  grant.path = answer.granted ? priority_path::broker : priority_path::none;
  if (!answer.granted) {
    int current = 0;
    grant.niceness = current_niceness(current) ? current : 0;
    try {
      say_normal_priority("no permission to lower niceness; realtime broker: " + answer.reason);
    } catch (...) {
      // Out of memory for the notice: the thread carries on all the same.
    }
  }
  remember(grant);
  return grant.path;
}

}  // namespace

const char* to_string(priority_path path) noexcept {
  switch (path) {
    case priority_path::none: return "none";
    case priority_path::direct: return "direct";
    case priority_path::broker: return "broker";
  }
  return "none";
}

pid_t current_thread_id() noexcept { return static_cast<pid_t>(syscall(SYS_gettid)); }

priority_path set_current_thread_priority(thread_priority priority) noexcept {
  const int wish = niceness(priority);
  // A thread asked twice (by its starter and by its own entry) keeps what
  // it got the first time instead of asking the broker again.
  int current = 0;
  const bool known = current_niceness(current);
  if (known && this_thread_path != priority_path::none && this_thread_wish == wish &&
      current == this_thread_niceness)
    return this_thread_path;
  return raise_thread(current_thread_id(), wish);
}

priority_path raise_process_priority() noexcept {
  // Only ever raise: a thread that already runs at a stronger niceness keeps it.
  int current = 0;
  if (current_niceness(current) && current <= high_class) return this_thread_path;
  return raise_thread(current_thread_id(), high_class);
}

std::vector<priority_grant> priority_grants() {
  std::lock_guard lock(grants_mutex);
  return {grants().begin(), grants().end()};
}

priority_path current_thread_priority_path() noexcept { return this_thread_path; }

}  // namespace kvt::platform
