// A TCP relay on loopback between a client and a server, for tests that
// want to see what crosses the wire: the client connects to the relay's port,
// the relay connects on to the server and passes everything through, showing
// each piece of bytes to a listener first. A protocol's wire tap is its
// request decoder on top of this.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <thread>

namespace kvt::test {

class tcp_relay {
 public:
  enum class sender { client, server };
  // Sees every piece of bytes one side sent, on the relay thread, before the
  // relay passes it on: whatever the other side answers, the listener has
  // seen what it answers to.
  using listener = std::function<void(sender from, std::span<const std::uint8_t> bytes)>;
  // Called on the relay thread as each client connects, for that
  // connection's listener (which can keep the connection's parsing state).
  using listener_factory = std::function<listener()>;

  // Listens on a free loopback port; throws if it cannot. One client is
  // served at a time: the next waits in the backlog until the first is done.
  tcp_relay(std::uint16_t server_port, listener_factory on_connection);
  ~tcp_relay();
  tcp_relay(const tcp_relay&) = delete;
  tcp_relay& operator=(const tcp_relay&) = delete;

  std::uint16_t port() const noexcept { return port_; }

 private:
  void run();
  void serve(int client_fd);

  std::uint16_t server_port_;
  listener_factory on_connection_;
  std::uint16_t port_ = 0;
  int listen_fd_ = -1;
  int wake_fd_ = -1;  // an eventfd: written once to stop the relay thread
  std::thread thread_;
};

// Gives a frame's whole length from its first bytes (its header). A length
// shorter than the header means the stream cannot be followed.
using frame_length = std::function<std::size_t(std::span<const std::uint8_t> header)>;

// A listener for the relay that hands `on_frame` every whole frame the
// client sends, in order, for a protocol whose frames state their length in
// a `header` of fixed size; what the server sends is passed through unread.
// When a length cannot be right, what is buffered is dropped and the next
// bytes are read as the start of a frame.
tcp_relay::listener client_frames(std::size_t header, frame_length length_of,
                                  std::function<void(std::span<const std::uint8_t> frame)> on_frame);

}  // namespace kvt::test
