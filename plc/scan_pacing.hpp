// Pacing of the scan loops: each cycle waits what is left of the scan period
// after the write and read phases, sleeping on the precise timer and spinning
// through the last millisecond.
#pragma once

#include <cstdint>

#include "platform/precise_timer.hpp"

namespace kvt::plc {

// The scan period in whole microseconds for a "scanRate" in seconds
// (truncated; negative or not-a-number rates give 0, back-to-back cycles).
std::uint64_t scan_period_us(double scan_rate) noexcept;

// The wait before the read phase: period − last read time − this write time,
// in signed microseconds.
std::int64_t scan_wait_us(std::uint64_t period_us, std::uint32_t last_read_us, std::uint32_t write_us) noexcept;

// Waits `wait_us` microseconds if positive: timer sleep for all but the last
// millisecond, then a spin on the monotonic clock.
void pace_scan(const platform::precise_timer* timer, std::int64_t wait_us) noexcept;

}  // namespace kvt::plc
