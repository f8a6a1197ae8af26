// What an ADS tag descriptor holds and how its parts map to the controller:
// the index offset in bits 0-31, the area code in bits 32-34 (one of the
// seven index groups below) and the value type in bits 49-52.
#pragma once

#include <cstdint>
#include <string_view>

#include "plc/value_type.hpp"

namespace kvt::plc::ads {

// Index groups of the services the driver uses.
namespace group {
inline constexpr std::uint32_t symbol_info_by_name = 0xF009;
inline constexpr std::uint32_t symbol_upload = 0xF00B;
inline constexpr std::uint32_t symbol_upload_info = 0xF00C;
inline constexpr std::uint32_t sum_read = 0xF080;
inline constexpr std::uint32_t sum_write = 0xF081;
inline constexpr std::uint32_t plc_data = 0x4040;  // area 7, only with the data-area switch
}  // namespace group

inline constexpr unsigned area_shift = 32;
inline constexpr std::uint64_t area_mask = 0x7;

constexpr std::uint32_t tag_area(std::uint64_t tag) noexcept {
  return static_cast<std::uint32_t>((tag >> area_shift) & area_mask);
}
constexpr std::uint32_t tag_offset(std::uint64_t tag) noexcept { return static_cast<std::uint32_t>(tag); }
constexpr std::uint64_t make_ads_tag(std::uint32_t type, std::uint32_t area, std::uint32_t offset) noexcept {
  return make_tag(type, (static_cast<std::uint64_t>(area) & area_mask) << area_shift | offset);
}

// The area code of an index group: 0 for a group outside the table, and
// for the PLC data group unless `data_area` is set.
std::uint32_t area_of_group(std::uint32_t index_group, bool data_area) noexcept;
// The index group of an area code; 0 for area 0 (no valid area).
std::uint32_t group_of_area(std::uint32_t area) noexcept;

// The value type of a PLC type name ("BOOL", "REAL", ...); 0 for others.
std::uint32_t type_of_plc_type(std::string_view name) noexcept;

}  // namespace kvt::plc::ads
