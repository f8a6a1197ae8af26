#include "support/tcp_relay.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <optional>
#include <stdexcept>
#include <vector>

namespace kvt::test {

namespace {

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

void no_delay(int fd) {
  const int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

constexpr short readable_or_closed = POLLIN | POLLHUP | POLLERR;

// Whole frames out of a byte stream whose frames state their own length.
class frame_splitter {
 public:
  frame_splitter(std::size_t header, frame_length length_of) : header_(header), length_of_(std::move(length_of)) {}

  void append(std::span<const std::uint8_t> bytes) { stream_.insert(stream_.end(), bytes.begin(), bytes.end()); }

  // The next complete frame, taken off the front; nullopt until one is
  // there, or when the stream cannot be followed (what is buffered goes).
  std::optional<std::vector<std::uint8_t>> next() {
    if (stream_.size() < header_) return std::nullopt;
    const std::size_t length = length_of_(std::span<const std::uint8_t>(stream_.data(), header_));
    if (length < header_) {
      stream_.clear();
      return std::nullopt;
    }
    if (stream_.size() < length) return std::nullopt;
    const auto end = stream_.begin() + static_cast<std::ptrdiff_t>(length);
    std::vector<std::uint8_t> frame(stream_.begin(), end);
    stream_.erase(stream_.begin(), end);
    return frame;
  }

 private:
  std::size_t header_;
  frame_length length_of_;
  std::vector<std::uint8_t> stream_;
};

}  // namespace

tcp_relay::tcp_relay(std::uint16_t server_port, listener_factory on_connection)
    : server_port_(server_port), on_connection_(std::move(on_connection)) {
  listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  wake_fd_ = ::eventfd(0, EFD_CLOEXEC);
  sockaddr_in a = loopback(0);
  socklen_t len = sizeof a;
  if (listen_fd_ < 0 || wake_fd_ < 0 || ::bind(listen_fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      ::listen(listen_fd_, 4) != 0 || ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    if (listen_fd_ >= 0) ::close(listen_fd_);
    if (wake_fd_ >= 0) ::close(wake_fd_);
    throw std::runtime_error("relay did not listen");
  }
  port_ = ntohs(a.sin_port);
  thread_ = std::thread([this] { run(); });
}

tcp_relay::~tcp_relay() {
  const std::uint64_t one = 1;
  (void)!::write(wake_fd_, &one, sizeof one);
  thread_.join();
  ::close(listen_fd_);
  ::close(wake_fd_);
}

// The wake-up is never read: once written, every later poll sees it too.
void tcp_relay::run() {
  for (;;) {
    pollfd fds[2] = {{listen_fd_, POLLIN, 0}, {wake_fd_, POLLIN, 0}};
    if (::poll(fds, 2, -1) <= 0) continue;
    if ((fds[1].revents & POLLIN) != 0) return;
    const int client = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (client >= 0) serve(client);
  }
}

// Serves one client until either side closes: a client the server refuses
// is closed at once, as the server itself would.
void tcp_relay::serve(int client_fd) {
  const int server_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const sockaddr_in a = loopback(server_port_);
  if (server_fd < 0 || ::connect(server_fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
    if (server_fd >= 0) ::close(server_fd);
    ::close(client_fd);
    return;
  }
  no_delay(server_fd);
  no_delay(client_fd);
  listener tap = on_connection_ ? on_connection_() : listener{};
  // Reads what one side sent and passes it to the other; false once either
  // side is gone.
  std::vector<std::uint8_t> buffer(65536);
  const auto pass = [&](int from_fd, int to_fd, sender from) {
    const ssize_t n = ::recv(from_fd, buffer.data(), buffer.size(), 0);
    if (n <= 0) return false;
    const auto bytes = std::span<const std::uint8_t>(buffer.data(), static_cast<std::size_t>(n));
    if (tap) tap(from, bytes);
    return write_all(to_fd, bytes.data(), bytes.size());
  };
  for (;;) {
    pollfd fds[3] = {{client_fd, POLLIN, 0}, {server_fd, POLLIN, 0}, {wake_fd_, POLLIN, 0}};
    if (::poll(fds, 3, -1) <= 0) continue;
    if ((fds[2].revents & POLLIN) != 0) break;
    if ((fds[0].revents & readable_or_closed) != 0 && !pass(client_fd, server_fd, sender::client)) break;
    if ((fds[1].revents & readable_or_closed) != 0 && !pass(server_fd, client_fd, sender::server)) break;
  }
  ::close(server_fd);
  ::close(client_fd);
}

tcp_relay::listener client_frames(std::size_t header, frame_length length_of,
                                  std::function<void(std::span<const std::uint8_t> frame)> on_frame) {
  return [frames = frame_splitter(header, std::move(length_of)), on_frame = std::move(on_frame)](
             tcp_relay::sender from, std::span<const std::uint8_t> bytes) mutable {
    if (from != tcp_relay::sender::client) return;
    frames.append(bytes);
    while (const auto frame = frames.next()) on_frame(*frame);
  };
}

}  // namespace kvt::test
