// Value slots to and from the controller's byte order. S7 controllers are
// big-endian: an item's data holds the most significant byte first. Every
// item carries at most four bytes, so one slot of four bytes holds it.
#pragma once

#include <array>
#include <cstdint>

#include "plc/value_type.hpp"

namespace kvt::plc::s7 {

using item_bytes = std::array<std::uint8_t, 4>;

// The bytes to write for a value of `type`. A BOOL is sent as 0 or 1: the
// controller looks at bit 0 only, so a slot of 2 would otherwise clear it.
constexpr item_bytes to_controller(std::uint32_t type, std::int32_t value) noexcept {
  const auto v = static_cast<std::uint32_t>(value);
  switch (type) {
    case value_type::boolean: return {static_cast<std::uint8_t>((v & 0xFF) != 0 ? 1 : 0), 0, 0, 0};
    case value_type::u8:
    case value_type::s8: return {static_cast<std::uint8_t>(v & 0xFF), 0, 0, 0};
    case value_type::u16:
    case value_type::s16: return {static_cast<std::uint8_t>((v >> 8) & 0xFF), static_cast<std::uint8_t>(v & 0xFF), 0, 0};
    default:
      return {static_cast<std::uint8_t>(v >> 24), static_cast<std::uint8_t>((v >> 16) & 0xFF),
              static_cast<std::uint8_t>((v >> 8) & 0xFF), static_cast<std::uint8_t>(v & 0xFF)};
  }
}

// The slot for bytes read for a value of `type`: BOOL 0 or 1, narrow types
// zero-extended into the low bytes, 32-bit types whole.
constexpr std::int32_t from_controller(std::uint32_t type, const item_bytes& b) noexcept {
  switch (type) {
    case value_type::boolean: return b[0] != 0 ? 1 : 0;
    case value_type::u8:
    case value_type::s8: return b[0];
    case value_type::u16:
    case value_type::s16: return static_cast<std::int32_t>(std::uint32_t{b[0]} << 8 | b[1]);
    default:
      return static_cast<std::int32_t>(std::uint32_t{b[0]} << 24 | std::uint32_t{b[1]} << 16 |
                                       std::uint32_t{b[2]} << 8 | b[3]);
  }
}

}  // namespace kvt::plc::s7
