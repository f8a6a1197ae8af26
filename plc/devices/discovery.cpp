#include "plc/devices/discovery.hpp"

#include <array>
#include <cstdio>

#include "app/platform/broadcast_socket.hpp"
#include "plc/devices/list_identity.hpp"

namespace kvt::plc::eip::devices {

namespace {

constexpr const char* broadcast_address = "255.255.255.255";

void report(const char* text) { std::fprintf(stderr, "%s\n", text); }

}  // namespace

bool discover(std::uint32_t timeout_ms, const std::function<void(const device_info&)>& on_device) {
  using platform::broadcast_socket;
  broadcast_socket socket;
  switch (socket.open(timeout_ms == 0 || timeout_ms > max_timeout_ms ? max_timeout_ms : timeout_ms)) {
    case broadcast_socket::open_result::ok: break;
    case broadcast_socket::open_result::no_socket: report("Failed to create socket."); return false;
    case broadcast_socket::open_result::no_broadcast: report("Failed to set socket option."); return false;
    case broadcast_socket::open_result::no_timeout: report("Failed to set receive timeout."); return false;
  }
  if (!socket.send_to(list_identity_request, broadcast_address, encapsulation_port)) {
    report("Failed to send broadcast.");
    return false;
  }
  std::array<std::uint8_t, max_reply_bytes> buffer{};
  std::string source;
  for (;;) {
    std::size_t size = 0;
    const auto status = socket.receive(buffer, size, source);
    if (status == broadcast_socket::receive_status::timed_out) break;
    if (status == broadcast_socket::receive_status::failed) {
      report("Failed to receive data.");
      break;
    }
    if (size == 0) break;
    if (auto device = parse_identity_reply(std::span(buffer.data(), size), source)) on_device(*device);
  }
  return true;
}

}  // namespace kvt::plc::eip::devices
