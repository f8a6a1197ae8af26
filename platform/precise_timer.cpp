#include "platform/precise_timer.hpp"

#include <sys/prctl.h>

#include <cerrno>
#include <ctime>

namespace kvt::platform {

precise_timer::precise_timer() noexcept { adopt_current_thread(); }

void precise_timer::adopt_current_thread() noexcept {
  // Failure only costs precision; the sleeps still work.
  (void)prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
}

bool precise_timer::sleep(std::uint64_t us) const noexcept {
  timespec due{};
  if (clock_gettime(CLOCK_MONOTONIC, &due) != 0) return false;
  const std::uint64_t ns = static_cast<std::uint64_t>(due.tv_nsec) + (us % 1'000'000u) * 1000u;
  due.tv_sec += static_cast<time_t>(us / 1'000'000u + ns / 1'000'000'000u);
  due.tv_nsec = static_cast<long>(ns % 1'000'000'000u);
  // An absolute due time keeps the total right when a signal interrupts the sleep.
  int rc = 0;
  while ((rc = clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &due, nullptr)) == EINTR) {
  }
  return rc == 0;
}

bool sleep_us(const precise_timer* timer, std::uint64_t n) noexcept {
  if (n == 0) return true;
  if (timer == nullptr) return false;
  return timer->sleep(n);
}

}  // namespace kvt::platform
