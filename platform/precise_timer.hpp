// High-resolution relative sleeps for the scan and exchange loops.
//
// A `precise_timer` is owned by the thread that sleeps on it. Creating it sets
// the calling thread's timer slack to 1 ns, so the kernel wakes the thread as
// close to the due time as it can instead of coalescing the wake-up with
// others (50 µs late by default).
#pragma once

#include <cstdint>

namespace kvt::platform {

class precise_timer {
 public:
  precise_timer() noexcept;
  precise_timer(const precise_timer&) = delete;
  precise_timer& operator=(const precise_timer&) = delete;

  // Sleeps `us` microseconds on the monotonic clock, resuming after signals.
  // Returns false if the sleep could not be started.
  bool sleep(std::uint64_t us) const noexcept;

  // Applies the 1 ns timer slack to the calling thread (for timers that are
  // created on one thread and handed to another before use).
  static void adopt_current_thread() noexcept;
};

// Sleeps n microseconds on `timer`. n = 0 returns true at once; without a timer
// nothing happens and the result is false.
bool sleep_us(const precise_timer* timer, std::uint64_t n) noexcept;

}  // namespace kvt::platform
