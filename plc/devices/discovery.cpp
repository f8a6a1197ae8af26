#include "plc/devices/discovery.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <string>

#include "platform/clock.hpp"
#include "platform/udp_socket.hpp"
#include "plc/devices/list_identity.hpp"

namespace kvt::plc::eip::devices {

namespace {

constexpr std::uint32_t broadcast_address = 0xFFFFFFFF;  // 255.255.255.255
constexpr std::uint64_t ns_per_ms = 1'000'000;

void report(const char* text) { std::fprintf(stderr, "%s\n", text); }

}  // namespace

bool discover(std::uint32_t timeout_ms, const std::function<void(const device_info&)>& on_device,
              const std::atomic<bool>& stop) {
  platform::udp_socket socket;
  if (socket.open(0) != 0) {
    report("Failed to create socket.");
    return false;
  }
  if (socket.enable_broadcast() != 0) {
    report("Failed to set socket option.");
    return false;
  }
  const auto sent = socket.send_to({broadcast_address, encapsulation_port}, std::as_bytes(std::span(list_identity_request)));
  if (sent.error != 0 || sent.bytes != list_identity_request.size()) {
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
  while (!stop.load()) {
    const std::uint64_t now = platform::monotonic_ns();
    if (now >= deadline) break;
    const std::uint64_t left_ms = (deadline - now + ns_per_ms - 1) / ns_per_ms;
    const auto got = socket.receive_within(std::as_writable_bytes(std::span(buffer)),
                                           static_cast<std::uint32_t>(std::min<std::uint64_t>(left_ms, stop_check_ms)));
    if (got.error == EAGAIN || got.error == EWOULDBLOCK) continue;
    if (got.error != 0) {
      report("Failed to receive data.");
      break;
    }
    if (got.bytes == 0) continue;  // an empty datagram holds no identity; the round goes on
    const std::size_t size = std::min(got.bytes, buffer.size());
    if (auto device = parse_identity_reply(std::span(buffer.data(), size), platform::format_ipv4(got.sender.address)))
      on_device(*device);
  }
  return true;
}

bool discover(std::uint32_t timeout_ms, const std::function<void(const device_info&)>& on_device) {
  const std::atomic<bool> never{false};
  return discover(timeout_ms, on_device, never);
}

}  // namespace kvt::plc::eip::devices
