#include "server/handlers/ros2_commands.hpp"

#include <limits>
#include <string>
#include <vector>

#include "app/launch_options.hpp"
#include "ros2/bridge.hpp"
#include "server/handlers/ros2_catalogue_reply.hpp"
#include "server/handlers/ros2_qos_reader.hpp"
#include "ros2/type_discovery.hpp"
#include "server/json_writer.hpp"
#include "server/messages.hpp"
#include "server/replies.hpp"

namespace kvt::server {

using namespace ros2;  // the bridge's records and calls

namespace {


constexpr std::uint64_t max_handle = std::numeric_limits<handle>::max();

// Texts reach the library as NUL-terminated strings: one holding a NUL
// (JSON "\u0000") would silently arrive cut short, so it is refused.
bool c_string_safe(std::string_view text) { return text.find('\0') == std::string_view::npos; }

bool read_text(json_object& data, std::string_view name, bool allow_empty, std::string& out) {
  std::string_view text;
  if (!read_string(data, name, text) || (!allow_empty && text.empty()) || !c_string_safe(text)) return false;
  out.assign(text);
  return true;
}

// "remappings": absent (or not an object) means none; otherwise every member
// is one from → to pair, in document order, and must be a string.
bool read_remappings(json_object& data, std::vector<remapping>& out) {
  json_object members;
  if (!read_object(data, key::remappings, members)) return true;
  for (auto member : members) {
    std::string_view from;
    std::string_view to;
    if (read_failed(member.unescaped_key().get(from))) return false;
    std::string from_text(from);  // the key's view does not outlive the next read
    if (read_failed(member.value().get_string().get(to)) || !c_string_safe(from_text) || !c_string_safe(to)) return false;
    out.emplace_back(std::move(from_text), std::string(to));
  }
  return true;
}

void create_endpoint(endpoint_kind kind, std::string_view type_key, std::string_view type_error, std::int32_t id,
                     json_object& data, const connection_ptr& reply_to) {
  std::uint64_t node = 0;
  // A node id beyond 32 bits would name another node once cut to its low
  // bits, so it is refused.
  if (!read_uint(data, key::node_id, node) || node > max_handle) {
    reply_to->send_text(reply_error(id, error::node_id_invalid));
    return;
  }
  std::string name;
  if (!read_text(data, key::name, false, name)) {
    reply_to->send_text(reply_error(id, error::name_invalid));
    return;
  }
  std::string type;
  if (!read_text(data, type_key, false, type)) {
    reply_to->send_text(reply_error(id, type_error));
    return;
  }
  qos_record qos;
  std::string_view qos_error;
  if (!read_qos(data, qos, qos_error)) {
    reply_to->send_text(reply_error(id, qos_error));
    return;
  }
  handle created = 0;
  std::string message;
  if (!bridge_create_endpoint(kind, static_cast<handle>(node), name, type, qos, created, message)) {
    reply_to->send_text(reply_error(id, message));
    return;
  }
  reply_to->send_text(reply_unsigned(id, created));
}

}  // namespace

void handle_ros2_initialize(std::int32_t id, json_object& /*data*/, const connection_ptr& reply_to) {
  if (!launch_options().ros2) {
    reply_to->send_text(reply_bool(id, false));
    return;
  }
  std::string message;
  reply_to->send_text(bridge_initialize(message) ? reply_bool(id, true) : reply_false_error(id, message));
}

void handle_ros2_reset(std::int32_t id, json_object& /*data*/, const connection_ptr& reply_to) {
  if (!launch_options().ros2) {
    reply_to->send_text(reply_bool(id, false));
    return;
  }
  std::string message;
  reply_to->send_text(bridge_reset(message) ? reply_bool(id, true) : reply_false_error(id, message));
}

void handle_ros2_get_types(std::int32_t id, json_object& /*data*/, const connection_ptr& reply_to) {
  if (!launch_options().ros2) {
    json_writer w;
    w.begin_object().key(key::id).number(id).key(key::data).null().end_object();
    reply_to->send_text(w.take());
    return;
  }
  type_catalogue catalogue;
  std::string message;
  if (!discover_types(catalogue, message)) {
    reply_to->send_text(reply_error(id, message));
    return;
  }
  reply_to->send_text(catalogue_reply(id, catalogue));
}

void handle_ros2_create_node(std::int32_t id, json_object& data, const connection_ptr& reply_to) {
  std::string name;
  if (!read_text(data, key::name, false, name)) {
    reply_to->send_text(reply_error(id, error::name_invalid));
    return;
  }
  std::string ros_namespace;
  if (!read_text(data, key::ros_namespace, true, ros_namespace)) {
    reply_to->send_text(reply_error(id, error::namespace_invalid));
    return;
  }
  std::vector<remapping> remappings;
  if (!read_remappings(data, remappings)) {
    reply_to->send_text(reply_error(id, error::remappings_invalid));
    return;
  }
  handle created = 0;
  std::string message;
  if (!bridge_create_node(name, ros_namespace, remappings, created, message)) {
    reply_to->send_text(reply_error(id, message));
    return;
  }
  reply_to->send_text(reply_unsigned(id, created));
}

void handle_ros2_create_publisher(std::int32_t id, json_object& data, const connection_ptr& reply_to) {
  create_endpoint(endpoint_kind::publisher, key::message_type, error::message_type_invalid, id, data, reply_to);
}

void handle_ros2_create_subscription(std::int32_t id, json_object& data, const connection_ptr& reply_to) {
  create_endpoint(endpoint_kind::subscription, key::message_type, error::message_type_invalid, id, data, reply_to);
}

void handle_ros2_create_service_client(std::int32_t id, json_object& data, const connection_ptr& reply_to) {
  create_endpoint(endpoint_kind::service_client, key::service_type, error::service_type_invalid, id, data, reply_to);
}

void handle_ros2_create_service_server(std::int32_t id, json_object& data, const connection_ptr& reply_to) {
  create_endpoint(endpoint_kind::service_server, key::service_type, error::service_type_invalid, id, data, reply_to);
}

void handle_ros2_create_action_client(std::int32_t id, json_object& data, const connection_ptr& reply_to) {
  create_endpoint(endpoint_kind::action_client, key::action_type, error::action_type_invalid, id, data, reply_to);
}

void handle_ros2_create_action_server(std::int32_t id, json_object& data, const connection_ptr& reply_to) {
  create_endpoint(endpoint_kind::action_server, key::action_type, error::action_type_invalid, id, data, reply_to);
}

void handle_ros2_destroy_handle(std::int32_t id, json_object& data, const connection_ptr& reply_to) {
  std::uint64_t target = 0;
  if (!read_uint(data, key::id, target) || target > max_handle) {
    reply_to->send_text(reply_false_error(id, error::ros2_handle_invalid));
    return;
  }
  std::string message;
  reply_to->send_text(bridge_destroy_handle(static_cast<handle>(target), message) ? reply_bool(id, true)
                                                                                    : reply_false_error(id, message));
}

}  // namespace kvt::server
