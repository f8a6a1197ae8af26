// The attribute string a tag is created from:
//   protocol=ab-eip&gateway=host[:port]&path=1,0&plc=controllogix
//   &elem_size=4&elem_count=1&name=Program:Main.Speed
// Keys are case-insensitive and may come in any order; a key given twice
// takes its last value; unknown keys are ignored.
//
// err_bad_param: the text cannot be read: a part without "=", an empty or
// malformed value (gateway, port, route, size, count, tag name).
// err_bad_config: it reads well but names no configuration served here:
// protocol missing or not ab-eip, plc type missing or unknown, gateway or
// name missing, or no route path for a type that needs one (Logix, Omron).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "plc/eip/tags/frames.hpp"
#include "plc/eip/tags/wire.hpp"

namespace kvt::plc::eip {

inline constexpr std::uint16_t default_eip_port = 44818;
inline constexpr std::uint32_t max_elem_size = 65535;
inline constexpr std::uint32_t max_elem_count = 65535;

enum class plc_family { logix, micro800, omron_njnx };
enum class tag_kind { data, listing, raw };

struct tag_attributes {
  std::string host;
  std::uint16_t port = default_eip_port;
  std::string route_text;  // as given, for the session key
  byte_buffer route;
  plc_family family = plc_family::logix;
  std::uint32_t elem_size = 0;  // 0: learnt from the first read
  std::uint32_t elem_count = 1;
  std::string name;
  tag_kind kind = tag_kind::data;
  // The CIP path of a data tag, or the program's symbolic segment that
  // scopes a listing (empty for the controller scope).
  byte_buffer path;
};

outcome<tag_attributes> parse_attributes(std::string_view text);

}  // namespace kvt::plc::eip
