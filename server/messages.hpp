// Every text the command server sends or recognises: command names, JSON
// keys and error messages.
#pragma once

#include <string>
#include <string_view>

namespace kvt::server {

namespace command {
inline constexpr std::string_view server_status = "ServerStatus";
inline constexpr std::string_view server_connect = "ServerConnect";
inline constexpr std::string_view server_disconnect = "ServerDisconnect";
inline constexpr std::string_view binding_tables = "BindingTables";
inline constexpr std::string_view discover_devices_start = "DiscoverDevicesStart";
inline constexpr std::string_view discover_devices_stop = "DiscoverDevicesStop";
inline constexpr std::string_view list_tags = "ListTags";
inline constexpr std::string_view browse_node = "BrowseNode";
inline constexpr std::string_view ros2_enabled = "ROS2Enabled";
inline constexpr std::string_view ros2_initialize = "ROS2Initialize";
inline constexpr std::string_view ros2_reset = "ROS2Reset";
inline constexpr std::string_view ros2_get_types = "ROS2GetTypes";
inline constexpr std::string_view ros2_create_node = "ROS2CreateNode";
inline constexpr std::string_view ros2_create_publisher = "ROS2CreatePublisher";
inline constexpr std::string_view ros2_create_subscription = "ROS2CreateSubscription";
inline constexpr std::string_view ros2_create_service_client = "ROS2CreateServiceClient";
inline constexpr std::string_view ros2_create_service_server = "ROS2CreateServiceServer";
inline constexpr std::string_view ros2_create_action_client = "ROS2CreateActionClient";
inline constexpr std::string_view ros2_create_action_server = "ROS2CreateActionServer";
inline constexpr std::string_view ros2_destroy_handle = "ROS2DestroyHandle";
}  // namespace command

namespace key {
inline constexpr std::string_view id = "id";
inline constexpr std::string_view type = "type";
inline constexpr std::string_view data = "data";
inline constexpr std::string_view error = "error";
inline constexpr std::string_view level = "level";
inline constexpr std::string_view message = "message";

// Connection parameters.
inline constexpr std::string_view protocol = "protocol";
inline constexpr std::string_view host = "host";
inline constexpr std::string_view path = "path";
inline constexpr std::string_view username = "username";
inline constexpr std::string_view password = "password";
inline constexpr std::string_view port = "port";
inline constexpr std::string_view unit_id = "unitId";
inline constexpr std::string_view flags = "flags";
inline constexpr std::string_view rack = "rack";
inline constexpr std::string_view slot = "slot";
inline constexpr std::string_view data_area = "dataArea";
inline constexpr std::string_view local_network = "localNetwork";
inline constexpr std::string_view local_node = "localNode";
inline constexpr std::string_view remote_network = "remoteNetwork";
inline constexpr std::string_view remote_node = "remoteNode";
inline constexpr std::string_view scan_rate = "scanRate";

// Binding tables.
inline constexpr std::string_view inputs = "inputs";
inline constexpr std::string_view outputs = "outputs";
inline constexpr std::string_view version = "version";
inline constexpr std::string_view tags = "tags";
inline constexpr std::string_view names = "names";

// Browsing.
inline constexpr std::string_view node = "node";
inline constexpr std::string_view tag = "tag";

// Device discovery.
inline constexpr std::string_view attempts = "attempts";
inline constexpr std::string_view timeout = "timeout";
inline constexpr std::string_view ip = "ip";
inline constexpr std::string_view vendor = "vendor";
inline constexpr std::string_view product_name = "productName";

// ROS 2 commands.
inline constexpr std::string_view name = "name";
inline constexpr std::string_view ros_namespace = "namespace";
inline constexpr std::string_view remappings = "remappings";
inline constexpr std::string_view node_id = "nodeId";
inline constexpr std::string_view message_type = "messageType";
inline constexpr std::string_view service_type = "serviceType";
inline constexpr std::string_view action_type = "actionType";
inline constexpr std::string_view qos = "qos";
inline constexpr std::string_view reliability = "reliability";
inline constexpr std::string_view durability = "durability";
inline constexpr std::string_view history = "history";
inline constexpr std::string_view liveliness = "liveliness";
inline constexpr std::string_view depth = "depth";
inline constexpr std::string_view deadline = "deadline";
inline constexpr std::string_view lifespan = "lifespan";
inline constexpr std::string_view liveliness_lease_duration = "livelinessLeaseDuration";
inline constexpr std::string_view avoid_ros_namespace_conventions = "avoidRosNamespaceConventions";

// ROS 2 type catalogue.
inline constexpr std::string_view messages = "messages";
inline constexpr std::string_view services = "services";
inline constexpr std::string_view actions = "actions";
inline constexpr std::string_view comment = "comment";
inline constexpr std::string_view fields = "fields";
inline constexpr std::string_view request_fields = "requestFields";
inline constexpr std::string_view response_fields = "responseFields";
inline constexpr std::string_view goal_fields = "goalFields";
inline constexpr std::string_view result_fields = "resultFields";
inline constexpr std::string_view feedback_fields = "feedbackFields";
inline constexpr std::string_view array = "array";
inline constexpr std::string_view dynamic = "dynamic";
inline constexpr std::string_view count = "count";
inline constexpr std::string_view max_length = "maxLength";
}  // namespace key

namespace event {
inline constexpr std::string_view log = "Log";
inline constexpr std::string_view device_discovered = "DeviceDiscovered";
inline constexpr std::string_view level_error = "error";
}  // namespace event

namespace error {
inline constexpr std::string_view message_type_invalid = "Message type invalid";

inline constexpr std::string_view protocol_invalid = "Protocol invalid";
inline constexpr std::string_view type_invalid = "Type invalid";
inline constexpr std::string_view host_invalid = "Host invalid";
inline constexpr std::string_view port_invalid = "Port invalid";
inline constexpr std::string_view unit_id_invalid = "Unit ID invalid";
inline constexpr std::string_view flags_invalid = "Flags invalid";
inline constexpr std::string_view rack_invalid = "Rack invalid";
inline constexpr std::string_view slot_invalid = "Slot invalid";
inline constexpr std::string_view scan_rate_invalid = "Scan rate invalid";

inline constexpr std::string_view id_invalid = "Id invalid";
inline constexpr std::string_view attempts_invalid = "Attempts invalid";
inline constexpr std::string_view timeout_invalid = "Timeout invalid";
inline constexpr std::string_view internal_error = "Internal error";
inline constexpr std::string_view server_not_found = "Server not found";
inline constexpr std::string_view inputs_invalid = "Inputs invalid";
inline constexpr std::string_view inputs_version_invalid = "Inputs version invalid";
inline constexpr std::string_view input_tags_invalid = "Input tags invalid";
inline constexpr std::string_view input_names_invalid = "Input names invalid";
inline constexpr std::string_view outputs_invalid = "Outputs invalid";
inline constexpr std::string_view outputs_version_invalid = "Outputs version invalid";
inline constexpr std::string_view output_tags_invalid = "Output tags invalid";
inline constexpr std::string_view output_names_invalid = "Output names invalid";

// Listing.
inline constexpr std::string_view protocol_unsupported = "Protocol unsupported";
inline constexpr std::string_view server_function_failed = "Server function failed";
inline constexpr std::string_view node_invalid = "Node invalid";
inline constexpr std::string_view operation_failed = "Operation failed";

// ROS 2 commands.
inline constexpr std::string_view name_invalid = "Name invalid";
inline constexpr std::string_view namespace_invalid = "Namespace invalid";
inline constexpr std::string_view remappings_invalid = "Remappings invalid";
inline constexpr std::string_view node_id_invalid = "Node ID invalid";
inline constexpr std::string_view service_type_invalid = "Service type invalid";
inline constexpr std::string_view action_type_invalid = "Action type invalid";
inline constexpr std::string_view ros2_handle_invalid = "Invalid ROS2 handle";
inline constexpr std::string_view qos_reliability_invalid = "QoS reliability invalid";
inline constexpr std::string_view qos_durability_invalid = "QoS durability invalid";
inline constexpr std::string_view qos_history_invalid = "QoS history invalid";
inline constexpr std::string_view qos_liveliness_invalid = "QoS liveliness invalid";
inline constexpr std::string_view qos_depth_invalid = "QoS depth invalid";
inline constexpr std::string_view qos_deadline_invalid = "QoS deadline invalid";
inline constexpr std::string_view qos_lifespan_invalid = "QoS lifespan invalid";
inline constexpr std::string_view qos_lease_duration_invalid = "QoS liveliness lease duration invalid";

}  // namespace error

// Log events sent while bindings are made, followed by the name concerned.
namespace log_message {
inline constexpr std::string_view ads_symbol_unresolved = "Failed to resolve ADS symbol: ";
inline constexpr std::string_view opcua_node_id_invalid = "Failed to parse OPC UA node id: ";
}  // namespace log_message

// Shown when the command server's port is taken.
inline constexpr std::string_view port_occupied_title = "Port Occupied";
std::string port_occupied_text(unsigned port);

// Standard error, when accepting connections fails (followed by the reason);
// the server pauses accepting for a moment.
inline constexpr std::string_view accept_failure_prefix =
    "Command server: accepting connections failed, pausing briefly: ";

// Standard error, when a connection from another user of this machine (or
// one whose user cannot be found) is closed before the WebSocket upgrade;
// followed by " (uid N)" or " (user unknown)". Said at most once a minute.
inline constexpr std::string_view refused_connection_text = "Command server: refused a connection from another user";

// The node "BrowseNode" accepts for the top of a server's address space, and
// the node it stands for: the Objects folder, in the text form of node ids.
inline constexpr std::string_view browse_root = "ROOT";
inline constexpr std::string_view objects_folder_node = "i=85";

// Default path of EtherNet/IP connections, and the device type that has none.
inline constexpr std::string_view default_eip_path = "1,0";
inline constexpr std::string_view micro800_type = "micro800";

}  // namespace kvt::server
