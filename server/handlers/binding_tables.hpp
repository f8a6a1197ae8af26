// "BindingTables": replaces a driver's input and output bindings.
#pragma once

#include <cstdint>

#include "server/connection.hpp"
#include "server/json_reader.hpp"

namespace kvt::server {

void handle_binding_tables(std::int32_t id, json_object& data, const connection_ptr& reply_to);

}  // namespace kvt::server
