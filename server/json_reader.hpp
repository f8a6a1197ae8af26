// Typed lookups in a request's JSON object. A key that is absent or holds
// another JSON type reads as missing (false), whatever the order of keys.
// Any other error leaves the on-demand document unusable: from then on every
// lookup of the request reads as missing without touching the document.
#pragma once

#include <simdjson.h>

#include <cstdint>
#include <string_view>

namespace kvt::server {

using json_object = simdjson::ondemand::object;
using json_array = simdjson::ondemand::array;

// Starts reading a new request (clears the failure of the previous one).
void begin_request() noexcept;
// True once a lookup of this request hit an error other than a missing key
// or a value of another type.
bool request_failed() noexcept;
// Whether `e` only says "absent" or "another type": the document stays usable.
bool is_recoverable(simdjson::error_code e) noexcept;
// For reads the handlers make themselves (array elements, members): true
// when `e` is an error, and the request is marked failed when the error is
// not recoverable.
bool read_failed(simdjson::error_code e) noexcept;

bool read_uint(json_object& object, std::string_view key, std::uint64_t& out);
bool read_int(json_object& object, std::string_view key, std::int64_t& out);
bool read_number(json_object& object, std::string_view key, double& out);
bool read_bool(json_object& object, std::string_view key, bool& out);
// The view stays valid while the request's document is alive.
bool read_string(json_object& object, std::string_view key, std::string_view& out);
bool read_object(json_object& object, std::string_view key, json_object& out);
bool read_array(json_object& object, std::string_view key, json_array& out);

}  // namespace kvt::server
