// Textual memory addresses: "DM100", "CIO10.5", " w3". An area name of one
// to three letters (any case), optional white space, a decimal word number
// and optionally "." and a bit number 0 to 15.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace kvt::plc::fins {

struct text_address {
  char area[4] = {};  // upper case, NUL-terminated
  std::uint32_t word = 0;
  std::uint8_t bit = 0;
  bool has_bit = false;

  std::string_view area_name() const noexcept { return area; }
};

std::optional<text_address> parse_address(std::string_view text) noexcept;

// Room for the longest text an address can have ("CIO65535.15" and NUL).
inline constexpr std::size_t address_capacity = 12;

}  // namespace kvt::plc::fins
