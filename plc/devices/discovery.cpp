#include "plc/devices/discovery.hpp"

#include <algorithm>
#include <array>
#include <cstdio>
#include <string>

#include "app/platform/broadcast_socket.hpp"
#include "app/platform/clock.hpp"
#include "plc/devices/list_identity.hpp"

namespace kvt::plc::eip::devices {

namespace {

constexpr const char* broadcast_address = "255.255.255.255";
constexpr std::uint64_t ns_per_ms = 1'000'000;

void report(const char* text) { std::fprintf(stderr, "%s\n", text); }

}  // namespace

bool discover(std::uint32_t timeout_ms, const std::function<void(const device_info&)>& on_device,
              const std::atomic<bool>& stop) {
  using platform::broadcast_socket;
  broadcast_socket socket;
  switch (socket.open()) {
    case broadcast_socket::open_result::ok: break;
    case broadcast_socket::open_result::no_socket: report("Failed to create socket."); return false;
    case broadcast_socket::open_result::no_broadcast: report("Failed to set socket option."); return false;
  }
  if (!socket.send_to(list_identity_request, broadcast_address, encapsulation_port)) {
    report("Failed to send broadcast.");
    return false;
  }
  // The round ends at a fixed time after the request, so that a device
  // answering again and again (or anyone sending datagrams at this port)
  // cannot keep it open; the stop flag is looked at between datagrams and at
  // least every `stop_check_ms` while waiting.
  const std::uint32_t round_ms = timeout_ms == 0 || timeout_ms > max_timeout_ms ? max_timeout_ms : timeout_ms;
  const std::uint64_t deadline = platform::monotonic_ns() + round_ms * ns_per_ms;
  std::array<std::uint8_t, max_reply_bytes> buffer{};
  std::string source;
  while (!stop.load()) {
    const std::uint64_t now = platform::monotonic_ns();
    if (now >= deadline) break;
    const std::uint64_t left_ms = (deadline - now + ns_per_ms - 1) / ns_per_ms;
    std::size_t size = 0;
    const auto status = socket.receive(buffer, size, source,
                                       static_cast<std::uint32_t>(std::min<std::uint64_t>(left_ms, stop_check_ms)));
    if (status == broadcast_socket::receive_status::nothing) continue;
    if (status == broadcast_socket::receive_status::failed) {
      report("Failed to receive data.");
      break;
    }
    if (size == 0) continue;  // an empty datagram holds no identity; the round goes on
    if (auto device = parse_identity_reply(std::span(buffer.data(), size), source)) on_device(*device);
  }
  return true;
}

bool discover(std::uint32_t timeout_ms, const std::function<void(const device_info&)>& on_device) {
  const std::atomic<bool> never{false};
  return discover(timeout_ms, on_device, never);
}

}  // namespace kvt::plc::eip::devices
