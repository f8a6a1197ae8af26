// One discovery round: List Identity broadcast on the local network, replies
// collected until the round's time-out.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>

#include "plc/devices/device_info.hpp"

namespace kvt::plc::eip::devices {

// The longest a round listens; a time-out of 0 (which a socket would read as
// "wait for ever") listens this long.
inline constexpr std::uint32_t max_timeout_ms = 30'000;

// How long a round waiting for replies goes without looking at its stop flag.
inline constexpr std::uint32_t stop_check_ms = 20;

// Broadcasts the request and calls `on_device` for every reply, in arrival
// order, on this thread, until `timeout_ms` after the request (a deadline:
// datagrams arriving do not extend it) or until `stop` is seen set. False when
// the socket cannot be set up or the request not sent (the reason goes to
// standard error); true otherwise, also when nobody answered.
bool discover(std::uint32_t timeout_ms, const std::function<void(const device_info&)>& on_device,
              const std::atomic<bool>& stop);

// A round that runs to its time-out.
bool discover(std::uint32_t timeout_ms, const std::function<void(const device_info&)>& on_device);

}  // namespace kvt::plc::eip::devices
