// "DiscoverDevicesStart" and "DiscoverDevicesStop".
#pragma once

#include <cstdint>

#include "server/connection.hpp"
#include "server/json_reader.hpp"

namespace kvt::server {

void handle_discover_devices_start(std::int32_t id, json_object& data, const connection_ptr& reply_to);
void handle_discover_devices_stop(std::int32_t id, json_object& data, const connection_ptr& reply_to);

}  // namespace kvt::server
