#include "server/server_core.hpp"

#include <algorithm>

#include "platform/clock.hpp"
#include "server/websocket_session.hpp"

namespace kvt::server {

server_core::server_core(boost::asio::io_context& ioc, client_hub& hub, std::byte* command_buffer)
    : ioc_(ioc), hub_(hub), relay_(command_buffer, hub), last_activity_ns_(platform::monotonic_ns()) {}

void server_core::on_open(const std::shared_ptr<websocket_session>& session) {
  std::erase_if(sessions_, [](const auto& w) { return w.expired(); });
  sessions_.push_back(session);
  hub_.on_open(session);
}

void server_core::on_text(std::string_view message) {
  // Commands count only while a page is registered; the reply goes to it,
  // whoever sent the command.
  if (const connection_ptr page = hub_.page()) dispatcher_.handle_text(message, page);
}

void server_core::on_binary(std::span<const std::byte> message, const std::shared_ptr<websocket_session>& sender) {
  if (message.empty()) return;
  relay_.handle_binary(message, sender);
  last_activity_ns_ = platform::monotonic_ns();
}

void server_core::on_close(const websocket_session* session) { hub_.on_close(session); }

void server_core::close_all() {
  for (const auto& w : sessions_)
    if (const auto s = w.lock()) s->close();
  sessions_.clear();
}

}  // namespace kvt::server
