// An IPv4 UDP socket bound to any local address and an ephemeral port, with
// send and receive time-outs, that may be allowed to broadcast. Closed by its
// owner's destructor.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace kvt::platform {

// An IPv4 address and port in host byte order.
struct ipv4_endpoint {
  std::uint32_t address = 0;
  std::uint16_t port = 0;
  bool operator==(const ipv4_endpoint&) const = default;
};

// Dotted-decimal IPv4 text ("192.168.0.1") to an address in host byte order;
// no name resolution. nullopt when the text is not such an address.
std::optional<std::uint32_t> parse_ipv4(std::string_view text) noexcept;
// An address in host byte order as dotted-decimal text.
std::string format_ipv4(std::uint32_t address);

// Outcome of a socket call: `error` is 0 on success, else the system's error
// number (EAGAIN or EWOULDBLOCK after a time-out).
struct io_result {
  int error = 0;
  std::size_t bytes = 0;     // sent, or the datagram's full size when received
  bool truncated = false;    // the datagram did not fit the buffer
  ipv4_endpoint sender;      // received datagrams only
};

class udp_socket {
 public:
  udp_socket() = default;
  udp_socket(udp_socket&& other) noexcept;
  udp_socket& operator=(udp_socket&& other) noexcept;
  udp_socket(const udp_socket&) = delete;
  udp_socket& operator=(const udp_socket&) = delete;
  ~udp_socket();

  // Creates the socket, sets both time-outs and binds it. Returns 0 or the
  // system's error number; on failure the socket stays closed.
  int open(std::uint32_t timeout_ms) noexcept;
  void close() noexcept;
  bool is_open() const noexcept { return fd_ >= 0; }

  // Changes both time-outs of an open socket. Returns 0 or an error number.
  int set_timeout(std::uint32_t timeout_ms) noexcept;
  // Allows sending to broadcast addresses. Returns 0 or an error number.
  int enable_broadcast() noexcept;

  io_result send_to(const ipv4_endpoint& to, std::span<const std::byte> data) noexcept;
  // Waits (up to the receive time-out) for one datagram.
  io_result receive(std::span<std::byte> buffer) noexcept;
  // Waits at most `wait_ms` for one datagram, never longer however many
  // arrive meanwhile; EAGAIN when none came (or a signal ended the wait).
  io_result receive_within(std::span<std::byte> buffer, std::uint32_t wait_ms) noexcept;
  // Drops every datagram already queued, without waiting.
  void discard_pending() noexcept;

 private:
  int fd_ = -1;
};

}  // namespace kvt::platform
