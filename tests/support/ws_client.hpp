// A WebSocket client for tests: connects to the command server on loopback,
// sends text and binary messages, and collects what arrives on a thread of
// its own so that a test can wait for the next message with a time-out.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

namespace kvt::test {

struct ws_message {
  bool text = false;
  std::string bytes;
};

class ws_client {
 public:
  // Connects and completes the upgrade; throws on failure. `origin` empty
  // sends no Origin header.
  explicit ws_client(std::uint16_t port, std::string path = "/", std::string origin = {});
  ~ws_client();
  ws_client(const ws_client&) = delete;
  ws_client& operator=(const ws_client&) = delete;

  void send_text(std::string_view text);
  void send_binary(std::string_view bytes);
  // Registers this connection as the page (binary message with code 253).
  void register_as_page();

  // The next message, or nullopt after `timeout`.
  std::optional<ws_message> next(std::chrono::milliseconds timeout = std::chrono::seconds(5));
  // The next text message, skipping nothing: fails (nullopt) if the next
  // message is binary.
  std::optional<std::string> next_text(std::chrono::milliseconds timeout = std::chrono::seconds(5));

  // Every message that has arrived, waiting up to `timeout` for the first;
  // empty after the time-out. Reads a busy connection in one go.
  std::deque<ws_message> take_all(std::chrono::milliseconds timeout);

  bool closed() const;

 private:
  struct impl;
  std::unique_ptr<impl> impl_;
};

// A WebSocket client that never reads: the server's messages pile up for it.
// It writes whole pre-built frames (see `client_frame`), many at a time.
class silent_ws_client {
 public:
  explicit silent_ws_client(std::uint16_t port);
  ~silent_ws_client();
  silent_ws_client(const silent_ws_client&) = delete;
  silent_ws_client& operator=(const silent_ws_client&) = delete;

  void write_frames(std::string_view frames);

 private:
  struct impl;
  std::unique_ptr<impl> impl_;
};

// One client-to-server WebSocket frame (final, masked with a zero key, so
// the payload goes out as it is).
std::string client_frame(bool text, std::string_view payload);

// A binary message in the command-buffer layout: 12-byte header and payload.
std::string command_message(std::uint8_t code, std::string_view payload);
// Same, with a length word that need not match the payload.
std::string command_message(std::uint8_t code, std::uint32_t length_word, std::string_view payload);

// A loopback TCP port that is free right now.
std::uint16_t free_port();

// A plain HTTP GET on loopback; returns status code and body.
struct http_reply {
  int status = 0;
  std::string reason;
  std::string body;
  std::string content_type;
  std::string allow_origin;
};
http_reply http_get(std::uint16_t port, std::string_view target);

}  // namespace kvt::test
