// Reads a connection record from a command's "data" object.
#pragma once

#include <cstdint>

#include "plc/connection_params.hpp"
#include "server/connection.hpp"
#include "server/json_reader.hpp"

namespace kvt::server {

// Fills `params` from `data`, field by field in a fixed order; the first
// invalid field is answered with its null error on `reply_to` and ends the
// reading with false.
bool parse_connection_params(std::int32_t id, json_object& data, const connection_ptr& reply_to,
                             plc::connection_params& params);

}  // namespace kvt::server
