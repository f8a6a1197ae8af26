// Typed lookups in a request's JSON object. A key that is absent or holds
// another JSON type reads as missing (false), whatever the order of keys.
#pragma once

#include <simdjson.h>

#include <cstdint>
#include <string_view>

namespace kvt::server {

using json_object = simdjson::ondemand::object;
using json_array = simdjson::ondemand::array;

bool read_uint(json_object& object, std::string_view key, std::uint64_t& out);
bool read_int(json_object& object, std::string_view key, std::int64_t& out);
bool read_number(json_object& object, std::string_view key, double& out);
bool read_bool(json_object& object, std::string_view key, bool& out);
// The view stays valid while the request's document is alive.
bool read_string(json_object& object, std::string_view key, std::string_view& out);
bool read_object(json_object& object, std::string_view key, json_object& out);
bool read_array(json_object& object, std::string_view key, json_array& out);

}  // namespace kvt::server
