#include "plc/melsec/device_list.hpp"

#include <array>
#include <charconv>

namespace kvt::plc::melsec {

namespace {

constexpr std::array<std::string_view, 28> names{"",    "X",   "Y",   "M",   "L",   "B",   "F",  "SB", "TS", "TC",
                                                 "TN",  "STS", "STC", "STN", "LTS", "LTC", "LTN", "CC", "CS", "CN",
                                                 "LCS", "LCC", "LCN", "D",   "W",   "SW",  "SM", "SD"};

}  // namespace

std::string_view device_name(std::uint32_t code) noexcept { return code < names.size() ? names[code] : std::string_view{}; }

std::int32_t device_list::add(std::uint32_t code, std::uint32_t number, std::uint16_t value) {
  const std::string_view name = device_name(code);
  if (name.empty()) return 0;
  char digits[16];
  const auto [end, ec] = std::to_chars(std::begin(digits), std::end(digits), number);
  (void)ec;  // a 32-bit number always fits
  text_.append(name).append(digits, end).push_back('\n');
  values_.push_back(static_cast<std::int16_t>(value));
  return 1;
}

}  // namespace kvt::plc::melsec
