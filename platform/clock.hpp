// Monotonic time for the worker threads: nanoseconds from an arbitrary start.
#pragma once

#include <cstdint>

namespace kvt::platform {

// Nanoseconds on the monotonic clock (never jumps with wall-clock changes).
std::uint64_t monotonic_ns() noexcept;

// Microseconds elapsed between two readings, saturated to 32 bits as the
// tables and the signal buffer carry durations.
inline std::uint32_t elapsed_us(std::uint64_t from_ns, std::uint64_t to_ns) noexcept {
  const std::uint64_t us = (to_ns - from_ns) / 1000;
  return us > 0xFFFF'FFFFu ? 0xFFFF'FFFFu : static_cast<std::uint32_t>(us);
}

// Hint to the processor that the caller is spinning on a shared word.
inline void cpu_relax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}

}  // namespace kvt::platform
