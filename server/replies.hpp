// The reply and event forms of the command protocol.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kvt::server {

// {"id":N,"data":true|false}
std::string reply_bool(std::int32_t id, bool value);
// {"id":N,"data":null,"error":"MESSAGE"}
std::string reply_error(std::int32_t id, std::string_view message);
// {"id":N,"data":false,"error":"MESSAGE"}
std::string reply_false_error(std::int32_t id, std::string_view message);
// {"id":N,"data":M}
std::string reply_number(std::int32_t id, std::int32_t value);
// {"id":N,"data":M} with an unsigned 32-bit M (ROS 2 handles use every bit).
std::string reply_unsigned(std::int32_t id, std::uint32_t value);
// {"type":"Log","level":"error","message":"MESSAGE"}
std::string log_error(std::string_view message);

}  // namespace kvt::server
