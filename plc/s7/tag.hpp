// S7 tag descriptors: bits 0-2 the bit within the byte (BOOL), bits 3-18 the
// start byte, bits 19-24 the data block number, bits 35-37 the area, bits
// 49-52 the value type. And what a read or write item names for one of them.
#pragma once

#include <cstdint>
#include <optional>

#include "plc/value_type.hpp"

namespace kvt::plc::s7 {

// The area field of a descriptor.
namespace area {
inline constexpr std::uint32_t inputs = 1;      // process inputs (I)
inline constexpr std::uint32_t outputs = 2;     // process outputs (Q)
inline constexpr std::uint32_t markers = 3;     // flags (M)
inline constexpr std::uint32_t data_block = 4;  // DB n
inline constexpr std::uint32_t v_memory = 5;    // V memory, which is data block 1
}  // namespace area

// Area codes and word lengths of S7 read/write items.
namespace item_area {
inline constexpr int inputs = 0x81;
inline constexpr int outputs = 0x82;
inline constexpr int markers = 0x83;
inline constexpr int data_block = 0x84;
}  // namespace item_area

namespace word_len {
inline constexpr int bit = 0x01;
inline constexpr int byte = 0x02;
inline constexpr int word = 0x04;
inline constexpr int dword = 0x06;
inline constexpr int real = 0x08;
}  // namespace word_len

struct tag_fields {
  std::uint32_t bit;
  std::uint32_t byte_offset;
  std::uint32_t db_number;
  std::uint32_t area;
  std::uint32_t type;
};

constexpr tag_fields decode_tag(std::uint64_t tag) noexcept {
  return {static_cast<std::uint32_t>(tag & 0x7), static_cast<std::uint32_t>((tag >> 3) & 0xFFFF),
          static_cast<std::uint32_t>((tag >> 19) & 0x3F), static_cast<std::uint32_t>((tag >> 35) & 0x7),
          tag_type(tag)};
}

constexpr std::uint64_t encode_tag(std::uint32_t area_code, std::uint32_t byte_offset, std::uint32_t type,
                                   std::uint32_t bit = 0, std::uint32_t db_number = 0) noexcept {
  return make_tag(type, (std::uint64_t{area_code & 0x7} << 35) | (std::uint64_t{db_number & 0x3F} << 19) |
                            (std::uint64_t{byte_offset & 0xFFFF} << 3) | (bit & 0x7));
}

// The address fields of one item (its amount is always 1).
struct item_address {
  int area = 0;
  int db_number = 0;
  int word_len = 0;
  int start = 0;  // byte offset, or bit address (byte × 8 + bit) for BOOL

  bool operator==(const item_address&) const = default;
};

// Word length of a value type; nullopt for the types S7 signals do not take
// (LREAL, unknown codes).
constexpr std::optional<int> word_len_of(std::uint32_t type) noexcept {
  switch (type) {
    case value_type::boolean: return word_len::bit;
    case value_type::u8:
    case value_type::s8: return word_len::byte;
    case value_type::u16:
    case value_type::s16: return word_len::word;
    case value_type::u32:
    case value_type::s32: return word_len::dword;
    case value_type::real: return word_len::real;
    default: return std::nullopt;
  }
}

// The item for a descriptor, or nullopt when the signal cannot be exchanged
// (a type S7 does not carry, or an area code outside 1 to 5): such signals
// are skipped rather than sent to an address nobody asked for.
constexpr std::optional<item_address> item_address_of(std::uint64_t tag) noexcept {
  const tag_fields f = decode_tag(tag);
  const std::optional<int> len = word_len_of(f.type);
  if (!len) return std::nullopt;
  item_address a;
  a.word_len = *len;
  a.db_number = static_cast<int>(f.db_number);
  switch (f.area) {
    case area::inputs: a.area = item_area::inputs; break;
    case area::outputs: a.area = item_area::outputs; break;
    case area::markers: a.area = item_area::markers; break;
    case area::data_block: a.area = item_area::data_block; break;
    case area::v_memory:
      a.area = item_area::data_block;
      a.db_number = 1;
      break;
    default: return std::nullopt;
  }
  a.start = *len == word_len::bit ? static_cast<int>(f.byte_offset * 8 + f.bit) : static_cast<int>(f.byte_offset);
  return a;
}

// The item that writes a signal. REAL values go out as double words: the
// same four bytes, but with a data length that every S7 server reads alike.
// A REAL item states its data length in bytes where other items state bits,
// and servers built on Snap7 step over every data item as if in bits, so
// each item after a REAL in the same request would land shifted, its value
// written from the wrong bytes.
constexpr item_address write_item_of(item_address a) noexcept {
  if (a.word_len == word_len::real) a.word_len = word_len::dword;
  return a;
}

// Bytes of data one item of a word length carries.
constexpr int payload_bytes(int len) noexcept {
  switch (len) {
    case word_len::word: return 2;
    case word_len::dword:
    case word_len::real: return 4;
    default: return 1;  // bit, byte
  }
}

}  // namespace kvt::plc::s7
