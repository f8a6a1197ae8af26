// Tag descriptors and the value types they carry.
//
// A tag descriptor is the page's 53-bit description of one bound signal: the
// value type sits in bits 49 to 52, the protocol's address below.
#pragma once

#include <cstdint>
#include <cstring>

namespace kvt::plc {

namespace value_type {
inline constexpr std::uint32_t boolean = 1;  // stored as 0 or 1 in the low byte
inline constexpr std::uint32_t u8 = 2;
inline constexpr std::uint32_t u16 = 3;
inline constexpr std::uint32_t u32 = 4;
inline constexpr std::uint32_t s8 = 5;
inline constexpr std::uint32_t s16 = 6;
inline constexpr std::uint32_t s32 = 7;
inline constexpr std::uint32_t real = 8;   // IEEE-754 single bits
inline constexpr std::uint32_t lreal = 9;  // carried as a single-precision float
}  // namespace value_type

inline constexpr unsigned tag_type_shift = 49;
inline constexpr std::uint64_t tag_type_mask = 0xF;
inline constexpr std::uint64_t tag_address_mask = (std::uint64_t{1} << tag_type_shift) - 1;

constexpr std::uint32_t tag_type(std::uint64_t tag) noexcept {
  return static_cast<std::uint32_t>((tag >> tag_type_shift) & tag_type_mask);
}

constexpr std::uint64_t tag_address(std::uint64_t tag) noexcept { return tag & tag_address_mask; }

constexpr std::uint64_t make_tag(std::uint32_t type, std::uint64_t address) noexcept {
  return (static_cast<std::uint64_t>(type) & tag_type_mask) << tag_type_shift | (address & tag_address_mask);
}

// Bytes a value of `type` takes in a controller: BOOL and the 8-bit types 1,
// the 16-bit types 2, the 32-bit types and REAL 4, LREAL 8; 0 for anything else.
constexpr std::uint32_t value_size(std::uint32_t type) noexcept {
  switch (type) {
    case value_type::boolean:
    case value_type::u8:
    case value_type::s8: return 1;
    case value_type::u16:
    case value_type::s16: return 2;
    case value_type::u32:
    case value_type::s32:
    case value_type::real: return 4;
    case value_type::lreal: return 8;
    default: return 0;
  }
}

// Bits of a value slot as a float and back (REAL and LREAL signals).
inline float slot_to_float(std::int32_t slot) noexcept {
  float f;
  std::memcpy(&f, &slot, sizeof f);
  return f;
}

inline std::int32_t float_to_slot(float f) noexcept {
  std::int32_t slot;
  std::memcpy(&slot, &f, sizeof slot);
  return slot;
}

}  // namespace kvt::plc
