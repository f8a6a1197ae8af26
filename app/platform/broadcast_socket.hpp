// An IPv4 UDP socket that may send to the broadcast address and waits a
// bounded time for each datagram. Closed by its owner.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace kvt::platform {

class broadcast_socket {
 public:
  enum class open_result { ok, no_socket, no_broadcast };
  // `nothing`: no datagram within the wait (or one announced but gone).
  enum class receive_status { datagram, nothing, failed };

  broadcast_socket() = default;
  ~broadcast_socket();
  broadcast_socket(const broadcast_socket&) = delete;
  broadcast_socket& operator=(const broadcast_socket&) = delete;

  // Creates the socket and allows broadcasting.
  open_result open();
  // Sends the whole datagram to `ipv4`:`port`.
  bool send_to(std::span<const std::uint8_t> datagram, const char* ipv4, std::uint16_t port);
  // Waits at most `wait_ms` for one datagram, and never longer, however many
  // arrive; on `datagram`, `size` (possibly 0) and `source_ip` describe it.
  receive_status receive(std::span<std::uint8_t> buffer, std::size_t& size, std::string& source_ip,
                         std::uint32_t wait_ms);

 private:
  int fd_ = -1;
};

}  // namespace kvt::platform
