#include "platform/udp_socket.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <utility>

namespace kvt::platform {

std::optional<std::uint32_t> parse_ipv4(std::string_view text) noexcept {
  char copy[INET_ADDRSTRLEN];
  if (text.size() >= sizeof copy) return std::nullopt;
  std::memcpy(copy, text.data(), text.size());
  copy[text.size()] = '\0';
  in_addr addr{};
  if (inet_pton(AF_INET, copy, &addr) != 1) return std::nullopt;
  return ntohl(addr.s_addr);
}

std::string format_ipv4(std::uint32_t address) {
  in_addr addr{};
  addr.s_addr = htonl(address);
  char text[INET_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET, &addr, text, sizeof text);
  return text;
}

udp_socket::udp_socket(udp_socket&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

udp_socket& udp_socket::operator=(udp_socket&& other) noexcept {
  if (this != &other) {
    close();
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

udp_socket::~udp_socket() { close(); }

int udp_socket::open(std::uint32_t timeout_ms) noexcept {
  close();
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return errno;
  fd_ = fd;
  if (const int e = set_timeout(timeout_ms); e != 0) {
    close();
    return e;
  }
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_ANY);
  local.sin_port = 0;
  if (::bind(fd_, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
    const int e = errno;
    close();
    return e;
  }
  return 0;
}

void udp_socket::close() noexcept {
  if (fd_ < 0) return;
  ::close(fd_);
  fd_ = -1;
}

int udp_socket::set_timeout(std::uint32_t timeout_ms) noexcept {
  timeval tv{};
  tv.tv_sec = static_cast<time_t>(timeout_ms / 1000);
  tv.tv_usec = static_cast<suseconds_t>((timeout_ms % 1000) * 1000);
  if (::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0) return errno;
  if (::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) != 0) return errno;
  return 0;
}

io_result udp_socket::send_to(const ipv4_endpoint& to, std::span<const std::byte> data) noexcept {
  io_result r;
  if (fd_ < 0) {
    r.error = EBADF;
    return r;
  }
  sockaddr_in dest{};
  dest.sin_family = AF_INET;
  dest.sin_addr.s_addr = htonl(to.address);
  dest.sin_port = htons(to.port);
  const ssize_t n = ::sendto(fd_, data.data(), data.size(), MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&dest),
                             sizeof dest);
  if (n < 0)
    r.error = errno;
  else
    r.bytes = static_cast<std::size_t>(n);
  return r;
}

namespace {
io_result failure(int error) noexcept {
  io_result r;
  r.error = error;
  return r;
}

io_result receive_from(int fd, std::span<std::byte> buffer, int flags) noexcept {
  io_result r;
  sockaddr_in from{};
  socklen_t from_len = sizeof from;
  ssize_t n;
  do {
    // MSG_TRUNC reports the datagram's real size, so an oversized one is seen.
    n = ::recvfrom(fd, buffer.data(), buffer.size(), flags | MSG_TRUNC, reinterpret_cast<sockaddr*>(&from),
                   &from_len);
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    r.error = errno;
    return r;
  }
  r.bytes = static_cast<std::size_t>(n);
  r.truncated = r.bytes > buffer.size();
  r.sender = {ntohl(from.sin_addr.s_addr), ntohs(from.sin_port)};
  return r;
}
}  // namespace

io_result udp_socket::receive(std::span<std::byte> buffer) noexcept {
  if (fd_ < 0) return failure(EBADF);
  return receive_from(fd_, buffer, 0);
}

io_result udp_socket::receive_within(std::span<std::byte> buffer, std::uint32_t wait_ms) noexcept {
  if (fd_ < 0) return failure(EBADF);
  // Poll, then take the datagram without blocking: a datagram the kernel
  // dropped after announcing it (bad checksum) only ends this wait early.
  pollfd p{fd_, POLLIN, 0};
  const int ready = ::poll(&p, 1, wait_ms > INT_MAX ? INT_MAX : static_cast<int>(wait_ms));
  if (ready < 0) return failure(errno == EINTR ? EAGAIN : errno);
  if (ready == 0) return failure(EAGAIN);
  return receive_from(fd_, buffer, MSG_DONTWAIT);
}

int udp_socket::enable_broadcast() noexcept {
  const int on = 1;
  return ::setsockopt(fd_, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0 ? errno : 0;
}

void udp_socket::discard_pending() noexcept {
  if (fd_ < 0) return;
  std::byte scrap[1];
  while (::recv(fd_, scrap, sizeof scrap, MSG_DONTWAIT | MSG_TRUNC) >= 0) {
  }
}

}  // namespace kvt::platform
