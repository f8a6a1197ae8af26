// AMS Net IDs as the page writes them: six decimal numbers 0-255 joined by
// dots, e.g. "5.1.204.160.1.1".
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace kvt::plc::ads {

// Fills `out` and returns true only for exactly six pieces, each a decimal
// number 0-255 with nothing else in it.
bool parse_net_id(std::string_view text, std::array<std::uint8_t, 6>& out) noexcept;

}  // namespace kvt::plc::ads
