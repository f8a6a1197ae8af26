// Between the framework's 32-bit value slots and the controller's words.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <optional>

#include "plc/fins/read_item.hpp"
#include "plc/value_type.hpp"

namespace kvt::plc::fins {

// The read kind for a value type; nullopt for types the driver skips.
constexpr std::optional<read_kind> read_kind_of(std::uint32_t type) noexcept {
  switch (type) {
    case value_type::boolean: return read_kind::bit;
    case value_type::u8:
    case value_type::u16: return read_kind::u16;
    case value_type::u32: return read_kind::u32;
    case value_type::s8:
    case value_type::s16: return read_kind::s16;
    case value_type::s32: return read_kind::s32;
    case value_type::real: return read_kind::f32;
    case value_type::lreal: return read_kind::f64;
    default: return std::nullopt;
  }
}

// Stores a value read into its slot. Narrow types replace only their low
// bytes; the rest of the slot keeps what it held.
inline void store_read_value(std::uint32_t type, std::uint64_t raw, std::int32_t& slot) noexcept {
  auto bits = static_cast<std::uint32_t>(slot);
  const auto word = static_cast<std::uint16_t>(raw);
  switch (type) {
    case value_type::boolean: bits = (bits & ~0xFFu) | static_cast<std::uint32_t>(raw & 1u); break;
    case value_type::u8: bits = (bits & ~0xFFu) | (word & 0xFFu); break;
    case value_type::s8: {
      const int v = std::clamp(static_cast<int>(static_cast<std::int16_t>(word)), -128, 127);
      bits = (bits & ~0xFFu) | (static_cast<std::uint32_t>(v) & 0xFFu);
      break;
    }
    case value_type::u16:
    case value_type::s16: bits = (bits & ~0xFFFFu) | word; break;
    case value_type::u32:
    case value_type::s32:
    case value_type::real: bits = static_cast<std::uint32_t>(raw); break;
    case value_type::lreal: {
      const double d = std::bit_cast<double>(raw);
      bits = std::bit_cast<std::uint32_t>(static_cast<float>(d));
      break;
    }
    default: return;
  }
  slot = static_cast<std::int32_t>(bits);
}

// A 32-bit value's bytes as two words, low word first, each word's high
// byte first: the slot's little-endian bytes in the order 1, 0, 3, 2.
inline std::array<std::uint8_t, 4> words_of_u32(std::uint32_t v) noexcept {
  return {static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 24),
          static_cast<std::uint8_t>(v >> 16)};
}

// A double's bytes as four words, least significant word first.
inline std::array<std::uint8_t, 8> words_of_double(double d) noexcept {
  const auto v = std::bit_cast<std::uint64_t>(d);
  std::array<std::uint8_t, 8> out{};
  for (int w = 0; w < 4; ++w) {
    const auto word = static_cast<std::uint16_t>(v >> (16 * w));
    out[2 * w] = static_cast<std::uint8_t>(word >> 8);
    out[2 * w + 1] = static_cast<std::uint8_t>(word);
  }
  return out;
}

}  // namespace kvt::plc::fins
