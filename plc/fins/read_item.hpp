// One item of a multiple memory area read: its textual address, what kind
// of value to read and, after the read, the value.
#pragma once

#include <cstdint>

#include "plc/fins/address.hpp"

namespace kvt::plc::fins {

enum class read_kind : std::uint8_t {
  s16 = 1,
  s32 = 2,
  u16 = 3,
  u32 = 4,
  f32 = 15,
  f64 = 16,
  bit = 17,
};

struct read_item {
  char address[address_capacity] = {};
  read_kind kind = read_kind::u16;
  // The value read: 0 or 1 for a bit, the word for 16-bit kinds, the two
  // words (second << 16 | first) for 32-bit kinds and floats, the four
  // words (first least significant) for doubles.
  std::uint64_t raw = 0;
};

}  // namespace kvt::plc::fins
