// The device list a MELSEC phase hands the communication component: one
// text entry per device ("D100\n": the device name, its number in decimal,
// a line feed, after every entry) and a parallel array of 16-bit values.
// Both are kept between phases, so a steady scan does not allocate.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kvt::plc::melsec {

// Tag descriptor: bit number in bits 0-3, device number in bits 4-30,
// device code in bits 31-35, value type in bits 49-52.
constexpr std::uint32_t tag_bit(std::uint64_t tag) noexcept { return static_cast<std::uint32_t>(tag & 0xF); }
constexpr std::uint32_t tag_device_number(std::uint64_t tag) noexcept {
  return static_cast<std::uint32_t>((tag >> 4) & 0x7FFFFFF);
}
constexpr std::uint32_t tag_device_code(std::uint64_t tag) noexcept { return static_cast<std::uint32_t>((tag >> 31) & 0x1F); }

// The device name of a device code ("X" for 1 ... "SD" for 27); empty for
// code 0 and 28-31, which are not devices.
std::string_view device_name(std::uint32_t code) noexcept;

class device_list {
 public:
  void clear() noexcept {
    text_.clear();
    values_.clear();
  }
  // Appends one entry; 0 (and nothing added) for a code without a name.
  std::int32_t add(std::uint32_t code, std::uint32_t number, std::uint16_t value);

  std::string_view text() const noexcept { return text_; }
  std::int32_t count() const noexcept { return static_cast<std::int32_t>(values_.size()); }
  std::int16_t* values() noexcept { return values_.data(); }
  std::uint16_t value(std::size_t i) const noexcept { return static_cast<std::uint16_t>(values_[i]); }

 private:
  std::string text_;
  std::vector<std::int16_t> values_;
};

}  // namespace kvt::plc::melsec
