#include "app/platform/broadcast_socket.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

namespace kvt::platform {

broadcast_socket::~broadcast_socket() {
  if (fd_ >= 0) ::close(fd_);
}

broadcast_socket::open_result broadcast_socket::open() {
  fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
  if (fd_ < 0) return open_result::no_socket;
  const int on = 1;
  if (::setsockopt(fd_, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0) return open_result::no_broadcast;
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
                                                           std::string& source_ip, std::uint32_t wait_ms) {
  // The wait is the caller's to bound: poll, then take the datagram without
  // blocking. A signal or a datagram the kernel dropped after announcing it
  // (bad checksum) only ends this wait early.
  pollfd p{fd_, POLLIN, 0};
  const int ready = ::poll(&p, 1, wait_ms > INT_MAX ? INT_MAX : static_cast<int>(wait_ms));
  if (ready < 0) return errno == EINTR ? receive_status::nothing : receive_status::failed;
  if (ready == 0) return receive_status::nothing;
  sockaddr_in from{};
  socklen_t from_len = sizeof from;
  const ssize_t n =
      ::recvfrom(fd_, buffer.data(), buffer.size(), MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), &from_len);
  if (n < 0)
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? receive_status::nothing
                                                                      : receive_status::failed;
  char text[INET_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
  source_ip = text;
  size = static_cast<std::size_t>(n);
  return receive_status::datagram;
}

}  // namespace kvt::platform
