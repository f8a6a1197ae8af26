#include "support/loopback_client.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>

namespace kvt::test {

loopback_client::loopback_client(std::uint16_t port) : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(port);
  const timeval patience{3, 0};
  ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
  connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
}

loopback_client::~loopback_client() {
  if (fd_ >= 0) ::close(fd_);
}

bool loopback_client::send(const bytes& b) {
  return ::send(fd_, b.data(), b.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(b.size());
}

loopback_client::bytes loopback_client::receive(std::size_t n) {
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

bool loopback_client::closed() {
  std::uint8_t byte = 0;
  const ssize_t k = ::recv(fd_, &byte, 1, 0);
  return k == 0 || (k < 0 && errno == ECONNRESET);
}

}  // namespace kvt::test
