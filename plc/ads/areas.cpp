#include "plc/ads/areas.hpp"

#include <array>
#include <utility>

namespace kvt::plc::ads {

namespace {

// Index group of each area code; position 0 is no area.
constexpr std::array<std::uint32_t, 8> area_groups{0, 0xF020, 0xF021, 0xF030, 0xF031, 0x4020, 0x4021, group::plc_data};

constexpr std::array<std::pair<std::string_view, std::uint32_t>, 13> plc_types{{
    {"BOOL", value_type::boolean},
    {"USINT", value_type::u8},
    {"BYTE", value_type::u8},
    {"WORD", value_type::u16},
    {"UINT", value_type::u16},
    {"DWORD", value_type::u32},
    {"UDINT", value_type::u32},
    {"SINT", value_type::s8},
    {"INT", value_type::s16},
    {"DINT", value_type::s32},
    {"REAL", value_type::real},
    {"LREAL", value_type::lreal},
    {"", 0},
}};

}  // namespace

std::uint32_t area_of_group(std::uint32_t index_group, bool data_area) noexcept {
  if (index_group == group::plc_data && !data_area) return 0;
  for (std::uint32_t area = 1; area < area_groups.size(); ++area)
    if (area_groups[area] == index_group) return area;
  return 0;
}

std::uint32_t group_of_area(std::uint32_t area) noexcept { return area < area_groups.size() ? area_groups[area] : 0; }

std::uint32_t type_of_plc_type(std::string_view name) noexcept {
  if (name.empty()) return 0;
  for (const auto& [plc_name, type] : plc_types)
    if (plc_name == name) return type;
  return 0;
}

}  // namespace kvt::plc::ads
