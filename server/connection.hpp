// One WebSocket client of the command server, as the protocol layer sees it.
// Connections live on the server thread; other threads reach them only
// through `post_to_server` (server_thread.hpp).
#pragma once

#include <memory>
#include <string>

namespace kvt::server {

class connection {
 public:
  connection() = default;
  connection(const connection&) = delete;
  connection& operator=(const connection&) = delete;
  virtual ~connection() = default;

  // What a message is to its receiver. Each request gets exactly one reply,
  // so replies may fill the whole back-pressure allowance; events (devices
  // found, log lines) and notifications only part of it, so that a stream
  // of them cannot crowd out the replies of a page that reads slowly.
  enum class kind { reply, event };

  // Queue one text or binary message. Messages to a closed connection, or
  // beyond its back-pressure allowance for their kind, are dropped.
  virtual void send_text(std::string message, kind k) = 0;
  void send_text(std::string message) { send_text(std::move(message), kind::reply); }
  void send_event(std::string message) { send_text(std::move(message), kind::event); }
  virtual void send_binary(std::shared_ptr<const std::string> bytes) = 0;
  void send_binary(std::string bytes) { send_binary(std::make_shared<const std::string>(std::move(bytes))); }

  virtual bool is_open() const noexcept = 0;
};

using connection_ptr = std::shared_ptr<connection>;

}  // namespace kvt::server
