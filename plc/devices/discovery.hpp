// One discovery round: List Identity broadcast on the local network, replies
// collected until the receive time-out.
#pragma once

#include <cstdint>
#include <functional>

#include "plc/devices/device_info.hpp"

namespace kvt::plc::eip::devices {

// The longest a round listens; a time-out of 0 (which a socket would read as
// "wait for ever") listens this long.
inline constexpr std::uint32_t max_timeout_ms = 30'000;

// Broadcasts the request and calls `on_device` for every reply, in arrival
// order, on this thread. False when the socket cannot be set up or the
// request not sent (the reason goes to standard error); true otherwise, also
// when nobody answered.
bool discover(std::uint32_t timeout_ms, const std::function<void(const device_info&)>& on_device);

}  // namespace kvt::plc::eip::devices
