#include "app/platform/broadcast_socket.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>

namespace kvt::platform {

broadcast_socket::~broadcast_socket() {
  if (fd_ >= 0) ::close(fd_);
}

broadcast_socket::open_result broadcast_socket::open(std::uint32_t timeout_ms) {
  fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
  if (fd_ < 0) return open_result::no_socket;
  const int on = 1;
  if (::setsockopt(fd_, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0) return open_result::no_broadcast;
  timeval tv{};
  tv.tv_sec = static_cast<time_t>(timeout_ms / 1000);
  tv.tv_usec = static_cast<suseconds_t>((timeout_ms % 1000) * 1000);
  if (::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0) return open_result::no_timeout;
  return open_result::ok;
}

bool broadcast_socket::send_to(std::span<const std::uint8_t> datagram, const char* ipv4, std::uint16_t port) {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  if (::inet_pton(AF_INET, ipv4, &to.sin_addr) != 1) return false;
  const ssize_t sent =
      ::sendto(fd_, datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
  return sent == static_cast<ssize_t>(datagram.size());
}

broadcast_socket::receive_status broadcast_socket::receive(std::span<std::uint8_t> buffer, std::size_t& size,
                                                           std::string& source_ip) {
  sockaddr_in from{};
  socklen_t from_len = sizeof from;
  ssize_t n = -1;
  do {
    n = ::recvfrom(fd_, buffer.data(), buffer.size(), 0, reinterpret_cast<sockaddr*>(&from), &from_len);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK ? receive_status::timed_out : receive_status::failed;
  char text[INET_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
  source_ip = text;
  size = static_cast<std::size_t>(n);
  return receive_status::datagram;
}

}  // namespace kvt::platform
