// Between the framework's 32-bit value slots and the coils or registers a
// signal takes on the server, the same whether the signal travels alone or
// inside a request that carries its neighbours too.
#pragma once

#include <cstdint>

#include "plc/modbus/tcp/tag.hpp"

namespace kvt::plc::modbus::tcp {

// Coils (bit areas) or registers (register areas) a signal takes from its
// address: the bit width in bit areas, two registers for 32-bit values and
// one for the rest; 0 for a signal the driver skips.
constexpr std::uint32_t extent(const tag_fields& f) noexcept {
  const int width = bit_width(f.type);
  if (width == 0) return 0;
  switch (f.area) {
    case area::coils:
    case area::discrete_inputs: return static_cast<std::uint32_t>(width);
    case area::holding_registers:
    case area::input_registers: return width == 32 ? 2 : 1;
    default: return 0;
  }
}

constexpr bool is_bit_area(std::uint32_t a) noexcept { return a == area::coils || a == area::discrete_inputs; }

// The value of `width` coils read as one status byte each, the first the
// least significant. A BOOL takes bit `bit` of its status byte.
constexpr std::uint32_t value_of_bits(const std::uint8_t* bits, int width, std::uint32_t bit) noexcept {
  if (width == 1) return (bits[0] >> bit) & 1u;
  std::uint32_t value = 0;
  for (int j = 0; j < width; ++j) value |= static_cast<std::uint32_t>(bits[j] & 1u) << j;
  return value;
}

// The value of a signal's registers. A BOOL takes bit `bit` of its register.
constexpr std::uint32_t value_of_registers(const std::uint16_t* regs, int width, std::uint32_t bit,
                                           bool high_word_first) noexcept {
  switch (width) {
    case 1: return (regs[0] >> bit) & 1u;
    case 8: return regs[0] & 0xFFu;
    case 16: return regs[0];
    default: return join_words({regs[0], regs[1]}, high_word_first);
  }
}

// The coils a value is written as: a BOOL switches its coil on for any
// non-zero value; wider values give coil j bit j.
constexpr void bits_of_value(std::uint32_t value, int width, std::uint8_t* out) noexcept {
  if (width == 1) {
    out[0] = value != 0 ? 1 : 0;
    return;
  }
  for (int j = 0; j < width; ++j) out[j] = static_cast<std::uint8_t>((value >> j) & 1u);
}

// The registers a value of 8, 16 or 32 bits is written as (an 8-bit value
// clears the register's high byte). Returns how many.
constexpr int registers_of_value(std::uint32_t value, int width, bool high_word_first, std::uint16_t* out) noexcept {
  switch (width) {
    case 8: out[0] = static_cast<std::uint16_t>(value & 0xFF); return 1;
    case 16: out[0] = static_cast<std::uint16_t>(value & 0xFFFF); return 1;
    default: {
      std::uint16_t regs[2];
      split_words(value, high_word_first, regs);
      out[0] = regs[0];
      out[1] = regs[1];
      return 2;
    }
  }
}

}  // namespace kvt::plc::modbus::tcp
