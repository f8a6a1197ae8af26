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

  // Queue one text or binary message. Messages to a closed connection, or
  // beyond its back-pressure limit, are dropped.
  virtual void send_text(std::string message) = 0;
  virtual void send_binary(std::shared_ptr<const std::string> bytes) = 0;
  void send_binary(std::string bytes) { send_binary(std::make_shared<const std::string>(std::move(bytes))); }

  virtual bool is_open() const noexcept = 0;
};

using connection_ptr = std::shared_ptr<connection>;

}  // namespace kvt::server
