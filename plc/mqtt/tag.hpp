// The MQTT fields of a tag descriptor: quality of service in bits 2 and 3,
// payload format in bits 4 and 5, value type in bits 49 to 52.
#pragma once

#include <cstdint>

#include "plc/value_type.hpp"

namespace kvt::plc::mqtt {

enum class payload_format : std::uint32_t {
  big_endian = 0,     // binary, most significant byte first
  little_endian = 1,  // binary, least significant byte first
  text = 2,           // decimal text ("true"/"false" for BOOL)
  empty = 3,          // no payload at all
};

struct tag_fields {
  std::uint32_t qos = 0;  // 0, 1 or 2; 3 is not a quality of service
  payload_format format = payload_format::big_endian;
  std::uint32_t type = 0;
};

inline constexpr std::uint32_t max_qos = 2;

constexpr tag_fields decode_tag(std::uint64_t tag) noexcept {
  return {static_cast<std::uint32_t>((tag >> 2) & 0x3), static_cast<payload_format>((tag >> 4) & 0x3), tag_type(tag)};
}

constexpr std::uint64_t encode_tag(std::uint32_t type, payload_format format, std::uint32_t qos = 0) noexcept {
  return make_tag(type, (std::uint64_t{qos} & 0x3) << 2 | (static_cast<std::uint64_t>(format) & 0x3) << 4);
}

// Whether this driver carries the value type (codes 1 to 9).
constexpr bool supported_type(std::uint32_t type) noexcept {
  return type >= value_type::boolean && type <= value_type::lreal;
}

}  // namespace kvt::plc::mqtt
