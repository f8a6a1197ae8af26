// The signal exchange: once per simulation step the page asks for the
// controllers' outputs (state 1, answered with output records and 4) and
// hands over values for their inputs (state 2, answered with 8). One thread
// serves both, spinning on the state word between adaptive sleeps so that it
// is awake shortly before each request arrives.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "plc/driver_registry.hpp"

namespace kvt::plc {

// Writes one output record per driver that has read values, from word 3 on:
// every output on a driver's first exchange, only changes afterwards. Never
// writes past `word_count`; changes that do not fit are sent by a later
// exchange. Returns the number of records. The caller holds the registry lock.
std::uint32_t write_output_records(std::uint32_t* words, std::size_t word_count, const driver_registry& registry);

// Applies the input records announced in word 2 to the drivers' inputs and
// marks them dirty. Records for unknown ids or stale versions are stepped
// over; pairs with an index outside the table are ignored; a record running
// past `word_count` ends the pass. The caller holds the registry lock.
void apply_input_records(const std::uint32_t* words, std::size_t word_count, const driver_registry& registry);

// The exchange thread's body. `buffer` may be null (the thread then only
// idles). Returns once `shutdown` is seen set.
void run_signal_exchange(void* buffer, std::size_t bytes, const driver_registry& registry,
                         const std::atomic<bool>& shutdown);

}  // namespace kvt::plc
