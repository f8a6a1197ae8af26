// Attribute strings of the tags the driver and the listings create.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kvt::plc::eip {

// The plc type of Micro800 controllers, which take no route path.
inline constexpr std::string_view micro800 = "micro800";
// The plc type of Omron NJ/NX controllers, listed through raw CIP requests.
inline constexpr std::string_view omron_njnx = "omron-njnx";

// "protocol=ab-eip&gateway=HOST[&path=PATH]&plc=TYPE": what every tag of a
// controller starts with.
std::string base_attributes(std::string_view host, std::string_view path, std::string_view type);

// A tag's whole attribute string: the base, "&elem_size=", "&elem_count="
// when the count exceeds 1, and "&name=".
std::string tag_attributes(std::string_view host, std::string_view path, std::string_view type,
                           std::uint32_t elem_size, std::uint32_t elem_count, std::string_view name);

}  // namespace kvt::plc::eip
