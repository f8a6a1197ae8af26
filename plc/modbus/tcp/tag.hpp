// Modbus TCP tag descriptors: bit 0-3 the bit within a register (BOOL in a
// register area), bits 4-19 the zero-based address, bits 20-22 the area,
// bits 49-52 the value type.
#pragma once

#include <cstdint>

#include "plc/value_type.hpp"

namespace kvt::plc::modbus::tcp {

namespace area {
inline constexpr std::uint32_t coils = 1;
inline constexpr std::uint32_t discrete_inputs = 2;
inline constexpr std::uint32_t holding_registers = 3;
inline constexpr std::uint32_t input_registers = 4;
}  // namespace area

// The "flags" connection parameter.
namespace flag {
inline constexpr std::int32_t mask_write = 1;       // BOOL in a holding register: Mask Write Register
inline constexpr std::int32_t high_word_first = 2;  // 32-bit values: first register holds bits 16-31
}  // namespace flag

struct tag_fields {
  std::uint32_t bit;
  std::uint32_t address;
  std::uint32_t area;
  std::uint32_t type;
};

constexpr tag_fields decode_tag(std::uint64_t tag) noexcept {
  return {static_cast<std::uint32_t>(tag & 0xF), static_cast<std::uint32_t>((tag >> 4) & 0xFFFF),
          static_cast<std::uint32_t>((tag >> 20) & 0x7), tag_type(tag)};
}

constexpr std::uint64_t encode_tag(std::uint32_t area_code, std::uint32_t address, std::uint32_t type,
                                   std::uint32_t bit = 0) noexcept {
  return make_tag(type, (std::uint64_t{area_code & 0x7} << 20) | (std::uint64_t{address & 0xFFFF} << 4) | (bit & 0xF));
}

// Width in coils or bits of a value type in a bit area: 1, 8, 16 or 32; 0
// for types this driver does not handle.
constexpr int bit_width(std::uint32_t type) noexcept {
  switch (type) {
    case value_type::boolean: return 1;
    case value_type::u8:
    case value_type::s8: return 8;
    case value_type::u16:
    case value_type::s16: return 16;
    case value_type::u32:
    case value_type::s32:
    case value_type::real: return 32;
    default: return 0;
  }
}

// The two registers of a 32-bit value, in the order they are on the server.
constexpr void split_words(std::uint32_t value, bool high_word_first, std::uint16_t (&regs)[2]) noexcept {
  const auto low = static_cast<std::uint16_t>(value & 0xFFFF);
  const auto high = static_cast<std::uint16_t>(value >> 16);
  regs[0] = high_word_first ? high : low;
  regs[1] = high_word_first ? low : high;
}

constexpr std::uint32_t join_words(const std::uint16_t (&regs)[2], bool high_word_first) noexcept {
  return high_word_first ? (std::uint32_t{regs[0]} << 16 | regs[1]) : (std::uint32_t{regs[0]} | std::uint32_t{regs[1]} << 16);
}

}  // namespace kvt::plc::modbus::tcp
