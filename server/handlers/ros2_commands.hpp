// The ROS 2 commands of the command server. Each validates its "data",
// calls one bridge wrapper (or the type discovery) and sends one reply.
#pragma once

#include <cstdint>

#include "server/connection.hpp"
#include "server/json_reader.hpp"

namespace kvt::server {


void handle_ros2_initialize(std::int32_t id, json_object& data, const connection_ptr& reply_to);
void handle_ros2_reset(std::int32_t id, json_object& data, const connection_ptr& reply_to);
void handle_ros2_get_types(std::int32_t id, json_object& data, const connection_ptr& reply_to);
void handle_ros2_create_node(std::int32_t id, json_object& data, const connection_ptr& reply_to);
void handle_ros2_create_publisher(std::int32_t id, json_object& data, const connection_ptr& reply_to);
void handle_ros2_create_subscription(std::int32_t id, json_object& data, const connection_ptr& reply_to);
void handle_ros2_create_service_client(std::int32_t id, json_object& data, const connection_ptr& reply_to);
void handle_ros2_create_service_server(std::int32_t id, json_object& data, const connection_ptr& reply_to);
void handle_ros2_create_action_client(std::int32_t id, json_object& data, const connection_ptr& reply_to);
void handle_ros2_create_action_server(std::int32_t id, json_object& data, const connection_ptr& reply_to);
void handle_ros2_destroy_handle(std::int32_t id, json_object& data, const connection_ptr& reply_to);

}  // namespace kvt::server
