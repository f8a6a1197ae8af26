#include "server/handlers/discover_commands.hpp"

#include "plc/connection_params.hpp"
#include "plc/devices/discovery.hpp"
#include "server/handlers/discovery_jobs.hpp"
#include "server/handlers/websocket_discover_responder.hpp"
#include "server/messages.hpp"
#include "server/replies.hpp"

namespace kvt::server {

namespace {
constexpr std::uint32_t max_attempts = 10;
}  // namespace

void handle_discover_devices_start(std::int32_t id, json_object& data, const connection_ptr& reply_to) {
  std::uint64_t protocol = 0;
  std::uint64_t attempts = 0;
  std::uint64_t timeout = 0;
  if (!read_uint(data, key::protocol, protocol) || protocol != static_cast<std::uint64_t>(plc::protocol::eip)) {
    reply_to->send_text(reply_error(id, error::protocol_invalid));
    return;
  }
  if (!read_uint(data, key::attempts, attempts) ||
      static_cast<std::uint32_t>(attempts) < 1 || static_cast<std::uint32_t>(attempts) > max_attempts) {
    reply_to->send_text(reply_error(id, error::attempts_invalid));
    return;
  }
  if (!read_uint(data, key::timeout, timeout) ||
      static_cast<std::uint32_t>(timeout) > plc::eip::devices::max_timeout_ms) {
    reply_to->send_text(reply_error(id, error::timeout_invalid));
    return;
  }
  auto responder = std::make_shared<websocket_discover_responder>(reply_to);
  if (start_discovery(id, static_cast<std::uint32_t>(attempts), static_cast<std::uint32_t>(timeout),
                      std::move(responder)) != start_result::started) {  // id in use, too many, no thread
    reply_to->send_text(reply_error(id, error::internal_error));
    return;
  }
  reply_to->send_text(reply_number(id, id));
}

void handle_discover_devices_stop(std::int32_t id, json_object& data, const connection_ptr& reply_to) {
  std::uint64_t search = 0;
  if (!read_uint(data, key::id, search)) {
    reply_to->send_text(reply_false_error(id, error::id_invalid));
    return;
  }
  stop_discovery(static_cast<std::int32_t>(static_cast<std::uint32_t>(search)));
  reply_to->send_text(reply_bool(id, true));
}

}  // namespace kvt::server
