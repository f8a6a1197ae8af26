// State the sessions of the command server share. Everything here belongs
// to the server thread.
#pragma once

#include <boost/asio/io_context.hpp>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "server/client_hub.hpp"
#include "server/command_relay.hpp"
#include "server/dispatcher.hpp"
#include "server/sign_in_routes.hpp"

namespace kvt::server {

class websocket_session;

// Limits of the WebSocket connections.
inline constexpr std::size_t max_message_bytes = 524'288;   // the command buffer's size
inline constexpr std::size_t max_backpressure_bytes = 2'097'152;

class server_core {
 public:
  server_core(boost::asio::io_context& ioc, client_hub& hub, std::byte* command_buffer);

  boost::asio::io_context& io() noexcept { return ioc_; }
  sign_in_routes& sign_in() noexcept { return sign_in_; }
  command_relay& relay() noexcept { return relay_; }

  void on_open(const std::shared_ptr<websocket_session>& session);
  void on_text(std::string_view message);
  void on_binary(std::span<const std::byte> message, const std::shared_ptr<websocket_session>& sender);
  void on_close(const websocket_session* session);

  // Monotonic time of the last non-empty binary message.
  std::uint64_t last_activity_ns() const noexcept { return last_activity_ns_; }

  // Closes every open WebSocket (at shutdown).
  void close_all();

 private:
  boost::asio::io_context& ioc_;
  client_hub& hub_;
  dispatcher dispatcher_;
  command_relay relay_;
  sign_in_routes sign_in_;
  std::uint64_t last_activity_ns_;
  std::vector<std::weak_ptr<websocket_session>> sessions_;
};

}  // namespace kvt::server
