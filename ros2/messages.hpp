// Texts of the ROS 2 bridge and the type discovery: the reasons their calls
// give, which the command server passes on to the page.
#pragma once

#include <string_view>

namespace kvt::ros2::message {

// ROS 2 bridge library.
inline constexpr std::string_view bridge_not_initialized = "ROS2 bridge is not initialized";
inline constexpr std::string_view bridge_not_found = "No ROS2 bridge was found";
inline constexpr std::string_view bridge_load_failed = "Failed to load ROS2 bridge library: ";
inline constexpr std::string_view bridge_missing_export = "ROS2 bridge library does not export ";
inline constexpr std::string_view bridge_initialization_failed = "ROS2 bridge initialization failed";
inline constexpr std::string_view create_node_failed = "Failed to create node: ";
inline constexpr std::string_view create_publisher_failed = "Failed to create publisher: ";
inline constexpr std::string_view create_subscription_failed = "Failed to create subscription: ";
inline constexpr std::string_view create_service_client_failed = "Failed to create service client: ";
inline constexpr std::string_view create_service_server_failed = "Failed to create service server: ";
inline constexpr std::string_view create_action_client_failed = "Failed to create action client: ";
inline constexpr std::string_view create_action_server_failed = "Failed to create action server: ";
inline constexpr std::string_view destroy_handle_failed = "Failed to destroy ROS2 handle";
inline constexpr std::string_view read_subscriptions_failed = "Failed to read ROS2 subscriptions";
inline constexpr std::string_view process_batch_failed = "Failed to process ROS2 batch";

// ROS 2 type discovery.
inline constexpr std::string_view ament_prefix_path_not_set = "AMENT_PREFIX_PATH is not set";
inline constexpr std::string_view no_ros2_types = "No ROS2 types found";

}  // namespace kvt::ros2::message
