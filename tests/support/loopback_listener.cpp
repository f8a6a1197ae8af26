#include "support/loopback_listener.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <stdexcept>
#include <utility>

namespace kvt::test {

namespace {

// How long a thread waits for bytes or a connection before it looks at the
// stop flag again.
constexpr auto poll_step = std::chrono::milliseconds(50);
// The step of a pause: short, so that a stop is seen soon.
constexpr auto pause_step = std::chrono::milliseconds(10);

}  // namespace

// --- one connection ---------------------------------------------------------------

bool loopback_connection::receive(std::uint8_t* out, std::size_t n) {
  std::size_t got = 0;
  while (got < n) {
    if (stopping()) return false;
    pollfd p{fd_, POLLIN, 0};
    const int r = ::poll(&p, 1, static_cast<int>(poll_step.count()));
    if (r < 0) return false;
    if (r == 0) continue;
    const ssize_t k = ::recv(fd_, out + got, n - got, 0);
    if (k <= 0) return false;
    got += static_cast<std::size_t>(k);
  }
  return true;
}

void loopback_connection::send(const std::uint8_t* data, std::size_t n) {
  std::size_t sent = 0;
  while (sent < n) {
    const ssize_t k = ::send(fd_, data + sent, n - sent, MSG_NOSIGNAL);
    if (k <= 0) return;
    sent += static_cast<std::size_t>(k);
  }
}

void loopback_connection::pause(std::chrono::milliseconds time) {
  const auto until = std::chrono::steady_clock::now() + time;
  while (!stopping()) {
    const auto now = std::chrono::steady_clock::now();
    if (now >= until) return;
    std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(pause_step, until - now));
  }
}

// --- the listener ---------------------------------------------------------------------

// An accepted connection: its socket and the thread serving it. Going, it
// waits for the thread and then closes the socket.
struct loopback_listener::connection {
  explicit connection(int f) : fd(f) {}
  ~connection() {
    if (thread.joinable()) thread.join();
    ::close(fd);
  }
  connection(const connection&) = delete;
  connection& operator=(const connection&) = delete;

  const int fd;
  std::atomic<bool> done{false};  // the thread has finished serving
  std::thread thread;
};

loopback_listener::loopback_listener(std::string name, std::uint16_t port, server serve, admission admit)
    : name_(std::move(name)), serve_(std::move(serve)), admit_(std::move(admit)), port_(port) {}

loopback_listener::~loopback_listener() { stop(); }

void loopback_listener::open_socket() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw std::runtime_error(name_ + ": socket");
  const int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(port_);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, 16) != 0) {
    ::close(fd);
    throw std::runtime_error(name_ + ": cannot listen on 127.0.0.1:" + std::to_string(port_));
  }
  socklen_t len = sizeof addr;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  port_ = ntohs(addr.sin_port);
  listen_fd_ = fd;
}

void loopback_listener::start() {
  if (running_.load()) return;
  open_socket();
  stopping_.store(false);
  running_.store(true);
  acceptor_ = std::thread([this] { accept_loop(); });
}

void loopback_listener::stop() {
  if (!running_.load()) return;
  stopping_.store(true);
  acceptor_.join();
  ::close(listen_fd_);
  listen_fd_ = -1;
  std::vector<std::unique_ptr<connection>> finishing;
  {
    std::lock_guard lock(connections_mutex_);
    for (const auto& c : connections_) ::shutdown(c->fd, SHUT_RDWR);
    finishing.swap(connections_);
  }
  finishing.clear();  // waits for every connection's thread
  running_.store(false);
}

void loopback_listener::close_connections() {
  std::lock_guard lock(connections_mutex_);
  for (const auto& c : connections_) ::shutdown(c->fd, SHUT_RDWR);
}

void loopback_listener::accept_loop() {
  while (!stopping_.load()) {
    pollfd p{listen_fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(poll_step.count())) <= 0) continue;
    const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    ++accepted_;
    if (admit_ && !admit_()) {
      // A zero linger time makes close() reset the connection.
      const linger reset{1, 0};
      ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
      ::close(fd);
      continue;
    }
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    ++open_;
    auto c = std::make_unique<connection>(fd);
    std::lock_guard lock(connections_mutex_);
    // Connections that have ended go here (their threads are joined).
    std::erase_if(connections_, [](const auto& ended) { return ended->done.load(); });
    c->thread = std::thread([this, &served = *c] { serve(served); });
    connections_.push_back(std::move(c));
  }
}

void loopback_listener::serve(connection& c) {
  loopback_connection link(c.fd, stopping_);
  serve_(link);
  ::shutdown(c.fd, SHUT_RDWR);
  --open_;
  c.done.store(true);
}

}  // namespace kvt::test
