#include "plc/scan_pacing.hpp"

#include <cmath>

#include "platform/clock.hpp"

namespace kvt::plc {

namespace {
constexpr std::int64_t spin_us = 1000;
// Longer than any sensible period; keeps the conversion defined.
constexpr double max_period_us = 1e15;
}  // namespace

std::uint64_t scan_period_us(double scan_rate) noexcept {
  const double us = scan_rate * 1e6;
  if (!(us > 0)) return 0;  // also NaN
  if (us >= max_period_us) return static_cast<std::uint64_t>(max_period_us);
  return static_cast<std::uint64_t>(us);
}

std::int64_t scan_wait_us(std::uint64_t period_us, std::uint32_t last_read_us, std::uint32_t write_us) noexcept {
  return static_cast<std::int64_t>(period_us) - static_cast<std::int64_t>(last_read_us) -
         static_cast<std::int64_t>(write_us);
}

void pace_scan(const platform::precise_timer* timer, std::int64_t wait_us) noexcept {
  if (wait_us <= 0) return;
  const std::uint64_t t1 = platform::monotonic_ns();
  if (wait_us > spin_us) platform::sleep_us(timer, static_cast<std::uint64_t>(wait_us - spin_us));
  const auto wait = static_cast<std::uint64_t>(wait_us);
  while ((platform::monotonic_ns() - t1) / 1000 < wait) platform::cpu_relax();
}

}  // namespace kvt::plc
