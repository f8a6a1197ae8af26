#include "s7/s7_wire_tap.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

namespace kvt::test {

namespace {

constexpr std::size_t tpkt_header = 4;
constexpr std::uint8_t job = 1;
constexpr std::uint8_t function_read = 4;
constexpr std::uint8_t function_write = 5;
constexpr std::size_t item_spec_bytes = 12;

sockaddr_in loopback(std::uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

bool write_all(int fd, const std::uint8_t* data, std::size_t n) {
  while (n > 0) {
    const ssize_t w = ::send(fd, data, n, MSG_NOSIGNAL);
    if (w <= 0) return false;
    data += w;
    n -= static_cast<std::size_t>(w);
  }
  return true;
}

int word_at(const std::vector<std::uint8_t>& b, std::size_t i) { return b[i] << 8 | b[i + 1]; }

}  // namespace

s7_wire_tap::s7_wire_tap(std::uint16_t server_port) : server_port_(server_port) {
  listen_fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a = loopback(0);
  if (listen_fd_ < 0 || ::bind(listen_fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      ::listen(listen_fd_, 4) != 0 || ::pipe(wake_fd_) != 0)
    throw std::runtime_error("wire tap did not listen");
  socklen_t len = sizeof a;
  ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&a), &len);
  port_ = ntohs(a.sin_port);
  thread_ = std::thread([this] { run(); });
}

s7_wire_tap::~s7_wire_tap() {
  stop_.store(true);
  const char wake = 1;
  (void)!::write(wake_fd_[1], &wake, 1);
  thread_.join();
  ::close(listen_fd_);
  ::close(wake_fd_[0]);
  ::close(wake_fd_[1]);
}

std::vector<wire_request> s7_wire_tap::requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

void s7_wire_tap::clear() {
  std::lock_guard lock(mutex_);
  requests_.clear();
}

void s7_wire_tap::run() {
  while (!stop_.load()) {
    pollfd fds[2] = {{listen_fd_, POLLIN, 0}, {wake_fd_[0], POLLIN, 0}};
    if (::poll(fds, 2, -1) <= 0) continue;
    if ((fds[1].revents & POLLIN) != 0) return;
    const int client = ::accept(listen_fd_, nullptr, nullptr);
    if (client >= 0) relay(client);
  }
}

// Serves one client until either side closes: a client the server refuses
// is closed at once, as the server itself would.
void s7_wire_tap::relay(int client_fd) {
  const int server_fd = ::socket(AF_INET, SOCK_STREAM, 0);
  const sockaddr_in a = loopback(server_port_);
  if (server_fd < 0 || ::connect(server_fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
    if (server_fd >= 0) ::close(server_fd);
    ::close(client_fd);
    return;
  }
  const int on = 1;
  ::setsockopt(server_fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  ::setsockopt(client_fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  std::vector<std::uint8_t> stream;
  std::uint8_t buffer[8192];
  for (;;) {
    pollfd fds[3] = {{client_fd, POLLIN, 0}, {server_fd, POLLIN, 0}, {wake_fd_[0], POLLIN, 0}};
    if (::poll(fds, 3, -1) <= 0) continue;
    if ((fds[2].revents & POLLIN) != 0) break;
    if ((fds[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
      const ssize_t n = ::recv(client_fd, buffer, sizeof buffer, 0);
      if (n <= 0) break;
      stream.insert(stream.end(), buffer, buffer + n);
      parse(stream);
      if (!write_all(server_fd, buffer, static_cast<std::size_t>(n))) break;
    }
    if ((fds[1].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
      const ssize_t n = ::recv(server_fd, buffer, sizeof buffer, 0);
      if (n <= 0) break;
      if (!write_all(client_fd, buffer, static_cast<std::size_t>(n))) break;
    }
  }
  ::close(server_fd);
  ::close(client_fd);
}

// Takes every complete TPKT frame off the front of `stream` and records the
// read and write jobs among them.
void s7_wire_tap::parse(std::vector<std::uint8_t>& stream) {
  while (stream.size() >= tpkt_header) {
    const auto length = static_cast<std::size_t>(word_at(stream, 2));
    if (length < tpkt_header) {
      stream.clear();
      return;
    }
    if (stream.size() < length) return;
    const std::vector<std::uint8_t> frame(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(length));
    stream.erase(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(length));
    if (frame.size() < tpkt_header + 1) continue;
    const std::size_t s7 = tpkt_header + 1 + frame[tpkt_header];  // after the COTP header
    if (frame.size() < s7 + 12 || frame[s7] != 0x32 || frame[s7 + 1] != job) continue;
    const std::size_t params = s7 + 10;
    const std::uint8_t function = frame[params];
    if (function != function_read && function != function_write) continue;
    wire_request request;
    request.write = function == function_write;
    const std::size_t count = frame[params + 1];
    for (std::size_t i = 0; i < count; ++i) {
      const std::size_t at = params + 2 + i * item_spec_bytes;
      if (frame.size() < at + item_spec_bytes) break;
      request.items.push_back({frame[at + 3], word_at(frame, at + 4), word_at(frame, at + 6), frame[at + 8],
                               frame[at + 9] << 16 | frame[at + 10] << 8 | frame[at + 11]});
    }
    std::lock_guard lock(mutex_);
    requests_.push_back(std::move(request));
  }
}

}  // namespace kvt::test
