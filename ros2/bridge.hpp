// The program's side of the ROS 2 bridge library (libnodegate.so beside the
// executable): loading it, and one wrapper per export. Every wrapper runs
// entirely under one process-wide mutex, so the library is never entered by
// two threads at once. Each returns false with a message on failure; the
// message is emptied on entry.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "ros2/bridge_records.hpp"

namespace kvt::ros2 {

// The library's file name, looked for in the executable's directory.
inline constexpr const char* bridge_file_name = "libnodegate.so";

using remapping = std::pair<std::string, std::string>;  // from, to

// Loads the library on first use, resolves its exports and initialises it.
// True at once when already initialised.
bool bridge_initialize(std::string& message);
bool bridge_reset(std::string& message);
bool bridge_create_node(const std::string& name, const std::string& ros_namespace,
                        const std::vector<remapping>& remappings, handle& out, std::string& message);

// The six kinds of endpoint share the record and the call shape.
enum class endpoint_kind {
  publisher,
  subscription,
  service_client,
  service_server,
  action_client,
  action_server,
};
bool bridge_create_endpoint(endpoint_kind kind, handle node, const std::string& name, const std::string& type,
                            const qos_record& qos, handle& out, std::string& message);

bool bridge_destroy_handle(handle id, std::string& message);
bool bridge_read_subscriptions(void* buffer, std::uint32_t size, std::string& message);
bool bridge_process_batch(void* buffer, std::uint32_t size, std::string& message);
// Shuts the library down if it was initialised; later calls do nothing.
void bridge_shutdown();

}  // namespace kvt::ros2
