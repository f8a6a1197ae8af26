// "ServerConnect", "ServerStatus" and "ServerDisconnect".
#pragma once

#include <cstdint>

#include "server/connection.hpp"
#include "server/json_reader.hpp"

namespace kvt::server {

void handle_server_connect(std::int32_t id, json_object& data, const connection_ptr& reply_to);
void handle_server_status(std::int32_t id, json_object& data, const connection_ptr& reply_to);
void handle_server_disconnect(std::int32_t id, json_object& data, const connection_ptr& reply_to);

}  // namespace kvt::server
