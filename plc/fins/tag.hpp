// FINS tag descriptors: bits 0-3 the bit number, 4-19 the word number, 20-22
// the memory area, 49-52 the value type. Also the text form of a descriptor's
// address, as the client takes addresses.
#pragma once

#include <cstdint>
#include <string_view>

#include "plc/fins/address.hpp"
#include "plc/value_type.hpp"

namespace kvt::plc::fins {

namespace area_field {
inline constexpr std::uint32_t none = 0;
inline constexpr std::uint32_t cio = 1;
inline constexpr std::uint32_t cio_alias = 2;
inline constexpr std::uint32_t w = 3;
inline constexpr std::uint32_t h = 4;
inline constexpr std::uint32_t a = 5;
inline constexpr std::uint32_t dm = 6;
}  // namespace area_field

struct tag_fields {
  std::uint32_t bit = 0;
  std::uint32_t word = 0;
  std::uint32_t area = 0;
  std::uint32_t type = 0;
};

constexpr tag_fields decode_tag(std::uint64_t tag) noexcept {
  return {static_cast<std::uint32_t>(tag & 0xF), static_cast<std::uint32_t>((tag >> 4) & 0xFFFF),
          static_cast<std::uint32_t>((tag >> 20) & 0x7), tag_type(tag)};
}

constexpr std::uint64_t encode_tag(std::uint32_t area, std::uint32_t word, std::uint32_t type,
                                   std::uint32_t bit = 0) noexcept {
  return make_tag(type, (std::uint64_t{area} & 0x7) << 20 | (std::uint64_t{word} & 0xFFFF) << 4 | (bit & 0xF));
}

// The area's name; empty for the codes that name no area.
constexpr std::string_view area_name(std::uint32_t area) noexcept {
  switch (area) {
    case area_field::cio:
    case area_field::cio_alias: return "CIO";
    case area_field::w: return "W";
    case area_field::h: return "H";
    case area_field::a: return "A";
    case area_field::dm: return "DM";
    default: return {};
  }
}

// Whether the driver carries the value type (1 to 9).
constexpr bool carried(std::uint32_t type) noexcept { return type >= value_type::boolean && type <= value_type::lreal; }

// Writes the descriptor's address as text into `out` (NUL-terminated):
// area, word and, when `with_bit`, "." and the bit number. An area code
// without a name gives only the numbers, which no parser accepts.
void format_address(std::uint64_t tag, bool with_bit, char (&out)[address_capacity]) noexcept;

}  // namespace kvt::plc::fins
