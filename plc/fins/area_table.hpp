// Memory areas of the controller families: which FINS area code and word
// address a textual address ("DM100", "CIO10.5") stands for, per service.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace kvt::plc::fins {

enum class family : std::uint8_t { unknown, cs_cj, cv };

// The family from the model text of a controller data read.
family family_of_model(std::string_view model) noexcept;

enum class access : std::uint8_t { bit, word };
enum class service : std::uint8_t { read, write };

// A resolved memory address as it travels in a frame.
struct fins_address {
  std::uint8_t area_code = 0;
  std::uint16_t word = 0;
  std::uint8_t bit = 0;
  bool operator==(const fins_address&) const = default;
};

// The first row of the family's table that gives `access` for `service` in
// the area `area_name` (upper case) and contains `word`; nullopt when none.
std::optional<fins_address> resolve(family f, access a, service s, std::string_view area_name, std::uint32_t word,
                                    std::uint8_t bit) noexcept;

}  // namespace kvt::plc::fins
