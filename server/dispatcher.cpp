#include "server/dispatcher.hpp"

#include <array>
#include <utility>

#include "app/launch_options.hpp"
#include "server/handlers/binding_tables.hpp"
#include "server/handlers/browse_node.hpp"
#include "server/handlers/connection_commands.hpp"
#include "server/handlers/discover_commands.hpp"
#include "server/handlers/list_tags.hpp"
#include "server/handlers/ros2_commands.hpp"
#include "server/messages.hpp"
#include "server/replies.hpp"

namespace kvt::server {

namespace {

void handle_ros2_enabled(std::int32_t id, json_object& /*data*/, const connection_ptr& reply_to) {
  reply_to->send_text(reply_bool(id, launch_options().ros2));
}

constexpr std::array<std::pair<std::string_view, command_handler>, 20> handlers{{
    {command::server_status, &handle_server_status},
    {command::server_connect, &handle_server_connect},
    {command::server_disconnect, &handle_server_disconnect},
    {command::binding_tables, &handle_binding_tables},
    {command::list_tags, &handle_list_tags},
    {command::browse_node, &handle_browse_node},
    {command::discover_devices_start, &handle_discover_devices_start},
    {command::discover_devices_stop, &handle_discover_devices_stop},
    {command::ros2_enabled, &handle_ros2_enabled},
    {command::ros2_initialize, &handle_ros2_initialize},
    {command::ros2_reset, &handle_ros2_reset},
    {command::ros2_get_types, &handle_ros2_get_types},
    {command::ros2_create_node, &handle_ros2_create_node},
    {command::ros2_create_publisher, &handle_ros2_create_publisher},
    {command::ros2_create_subscription, &handle_ros2_create_subscription},
    {command::ros2_create_service_client, &handle_ros2_create_service_client},
    {command::ros2_create_service_server, &handle_ros2_create_service_server},
    {command::ros2_create_action_client, &handle_ros2_create_action_client},
    {command::ros2_create_action_server, &handle_ros2_create_action_server},
    {command::ros2_destroy_handle, &handle_ros2_destroy_handle},
}};

}  // namespace

command_handler find_handler(std::string_view type) noexcept {
  for (const auto& [name, handler] : handlers)
    if (name == type) return handler;
  return nullptr;
}

void dispatcher::handle_text(std::string_view message, const connection_ptr& reply_to) {
  if (message.empty() || !reply_to) return;
  padded_.assign(message);
  padded_.resize(message.size() + simdjson::SIMDJSON_PADDING);
  simdjson::dom::element whole;
  if (validator_.parse(padded_.data(), message.size(), false).get(whole) || !whole.is_object()) return;

  simdjson::ondemand::document doc;
  if (parser_.iterate(padded_.data(), message.size(), padded_.size()).get(doc)) return;

  json_object request;
  if (doc.get_object().get(request)) return;
  begin_request();
  std::uint64_t id = 0;
  std::string_view type;
  json_object data;
  if (!read_uint(request, key::id, id) || !read_string(request, key::type, type) ||
      !read_object(request, key::data, data))
    return;

  const auto reply_id = static_cast<std::int32_t>(static_cast<std::uint32_t>(id));
  if (const command_handler handler = find_handler(type))
    handler(reply_id, data, reply_to);
  else
    reply_to->send_text(reply_error(reply_id, error::message_type_invalid));
}

}  // namespace kvt::server
