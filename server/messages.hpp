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

// Device discovery.
inline constexpr std::string_view attempts = "attempts";
inline constexpr std::string_view timeout = "timeout";
inline constexpr std::string_view ip = "ip";
inline constexpr std::string_view vendor = "vendor";
inline constexpr std::string_view product_name = "productName";
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
}  // namespace error

// Shown when the command server's port is taken.
inline constexpr std::string_view port_occupied_title = "Port Occupied";
std::string port_occupied_text(unsigned port);

// Default path of EtherNet/IP connections, and the device type that has none.
inline constexpr std::string_view default_eip_path = "1,0";
inline constexpr std::string_view micro800_type = "micro800";

}  // namespace kvt::server
