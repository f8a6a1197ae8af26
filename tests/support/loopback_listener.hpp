// The TCP side of the controller simulators: a listener on 127.0.0.1 that
// serves each accepted connection on a thread of its own.
//
// The port (an ephemeral one when 0 is asked for) is kept across stop() and
// start(), so a test can power-cycle a device and reconnect to the same
// address. stop() closes the listener, shuts every connection down and
// waits for their threads; the counters survive it.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kvt::test {

// One accepted connection, as the thread serving it sees it.
class loopback_connection {
 public:
  loopback_connection(int fd, const std::atomic<bool>& stopping) : fd_(fd), stopping_(stopping) {}

  // True once the listener is stopping: the connection should end.
  bool stopping() const noexcept { return stopping_.load(); }
  // Waits for exactly `n` bytes; false at the end of the stream, on an error
  // or when the listener stops.
  bool receive(std::uint8_t* out, std::size_t n);
  // Sends the `n` bytes; gives up quietly when the peer has gone.
  void send(const std::uint8_t* data, std::size_t n);
  // Waits `time`, less when the listener stops meanwhile.
  void pause(std::chrono::milliseconds time);

 private:
  const int fd_;
  const std::atomic<bool>& stopping_;
};

class loopback_listener {
 public:
  // Serves one connection until it returns; the listener then shuts the
  // connection down.
  using server = std::function<void(loopback_connection& connection)>;
  // Asked on the accepting thread for every new connection: false resets it
  // at once (TCP RST) instead of serving it.
  using admission = std::function<bool()>;

  // `name` goes into the error messages. Listens only once start() is called.
  loopback_listener(std::string name, std::uint16_t port, server serve, admission admit = {});
  ~loopback_listener();
  loopback_listener(const loopback_listener&) = delete;
  loopback_listener& operator=(const loopback_listener&) = delete;

  // The port asked for, or after the first start() the one listened on.
  std::uint16_t port() const noexcept { return port_; }
  // Listens (again) on the port; throws std::runtime_error when it cannot.
  void start();
  void stop();
  bool running() const noexcept { return running_.load(); }
  // Shuts every open connection down; the listener stays.
  void close_connections();

  // Connections accepted (reset ones included) and served now.
  std::size_t accepted() const noexcept { return accepted_.load(); }
  std::size_t open() const noexcept { return open_.load(); }

 private:
  struct connection;

  void open_socket();
  void accept_loop();
  void serve(connection& c);

  const std::string name_;
  const server serve_;
  const admission admit_;
  std::uint16_t port_ = 0;
  int listen_fd_ = -1;
  std::atomic<bool> running_{false};
  std::atomic<bool> stopping_{false};
  std::atomic<std::size_t> accepted_{0};
  std::atomic<std::size_t> open_{0};
  std::thread acceptor_;
  std::mutex connections_mutex_;
  std::vector<std::unique_ptr<connection>> connections_;  // guarded by connections_mutex_
};

}  // namespace kvt::test
