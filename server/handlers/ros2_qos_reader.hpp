// The optional "qos" object of the endpoint commands.
#pragma once

#include <string_view>

#include "ros2/bridge_records.hpp"
#include "server/json_reader.hpp"

namespace kvt::server {

// Fills `qos` (cleared first) from data's "qos". Keys that are absent or of
// another JSON type stay unset; the first value out of range ends the read
// with false and its message. A "qos" that is not an object counts as absent.
bool read_qos(json_object& data, ros2::qos_record& qos, std::string_view& message);

}  // namespace kvt::server
