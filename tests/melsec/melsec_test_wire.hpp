// A raw TCP client for the MELSEC simulator's tests: sends 3E binary
// request frames built here and reads whole response frames back.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <vector>

namespace kvt::test::melsec_wire {

using bytes = std::vector<std::uint8_t>;

// Routing fields of a request to the CPU itself: network 0, PC 0xFF,
// module I/O 0x03FF, station 0.
inline const bytes own_cpu = {0x00, 0xFF, 0xFF, 0x03, 0x00};

// A request frame: subheader, `routing`, request data length, monitoring
// timer 0x0010, then `body` (command, subcommand, request data).
inline bytes request(const bytes& body, const bytes& routing = own_cpu) {
  bytes b{0x50, 0x00};
  b.insert(b.end(), routing.begin(), routing.end());
  const std::size_t length = 2 + body.size();
  b.push_back(static_cast<std::uint8_t>(length));
  b.push_back(static_cast<std::uint8_t>(length >> 8));
  b.push_back(0x10);
  b.push_back(0x00);
  b.insert(b.end(), body.begin(), body.end());
  return b;
}

class wire {
 public:
  explicit wire(std::uint16_t port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    timeval tv{3, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  }
  ~wire() { ::close(fd_); }
  wire(const wire&) = delete;
  wire& operator=(const wire&) = delete;

  bool connected() const { return connected_; }
  bool send(const bytes& b) { return ::send(fd_, b.data(), b.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(b.size()); }
  // Up to `n` bytes, fewer when the peer closes or stays silent.
  bytes receive(std::size_t n) {
    bytes out(n);
    std::size_t got = 0;
    while (got < n) {
      const ssize_t k = ::recv(fd_, out.data() + got, n - got, 0);
      if (k <= 0) break;
      got += static_cast<std::size_t>(k);
    }
    out.resize(got);
    return out;
  }
  // One whole response frame as its response data length announces it.
  bytes frame() {
    bytes head = receive(9);
    if (head.size() < 9) return head;
    bytes rest = receive(static_cast<std::size_t>(head[7] | head[8] << 8));
    head.insert(head.end(), rest.begin(), rest.end());
    return head;
  }
  bytes exchange(const bytes& request_frame) {
    if (!send(request_frame)) return {};
    return frame();
  }
  // True when the peer has closed the connection (end of stream or reset).
  bool closed() {
    std::uint8_t byte = 0;
    return ::recv(fd_, &byte, 1, 0) == 0 || errno == ECONNRESET;
  }

 private:
  int fd_ = -1;
  bool connected_ = false;
};

}  // namespace kvt::test::melsec_wire
