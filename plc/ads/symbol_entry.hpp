// ADS symbol entries, as symbol information by name (0xF009) answers one and
// the symbol upload (0xF00B) lists them: entry length, index group, index
// offset, size, data type and flags (32-bit each), name, type-name and
// comment lengths (16-bit each), then the name, the type name and the
// comment, each NUL-terminated. All little-endian.
//
// Both readers check every length against the bytes they are given: an
// entry that claims more than there is, or names that overrun their entry,
// make the whole answer invalid; nothing is read past the buffer.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "plc/listing_entry.hpp"

namespace kvt::plc::ads {

inline constexpr std::uint32_t symbol_entry_fixed_size = 30;

struct symbol_entry {
  std::uint32_t length = 0;  // bytes from this entry to the next
  std::uint32_t index_group = 0;
  std::uint32_t index_offset = 0;
  std::string_view name;
  std::string_view type_name;
};

// The entry at the start of `bytes`; nothing when its lengths disagree with
// the bytes.
std::optional<symbol_entry> read_symbol_entry(std::span<const std::uint8_t> bytes) noexcept;

// Walks `count` entries of an uploaded symbol table (stopping early at an
// entry length of 0) and appends one listing entry per symbol whose type
// and area the driver carries: name, the name again as path, and the tag
// descriptor. Returns false when an entry's lengths disagree with the table.
bool read_symbol_table(std::span<const std::uint8_t> table, std::uint32_t count, bool data_area,
                       std::vector<listing_entry>& out);

}  // namespace kvt::plc::ads
