// The devices the component addresses and the device-list text that names
// them (see README.md beside this file for the reading rule). Pure
// functions, no I/O.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kvt::plc::melsec::mc {

enum class device_kind : std::uint8_t {
  bit,    // one bit per number
  word,   // one 16-bit word per number
  dword,  // one 32-bit value per number (long timer / long counter current values)
};

struct device_type {
  std::string_view name;  // as written in device-list text
  std::uint16_t code;     // binary device code of the MC protocol
  device_kind kind;
  bool hex;       // numbered in hexadecimal in device-list text
  bool extended;  // addressable only with the iQ-R subcommands (0002/0003)
};

// Every device name the component knows.
std::span<const device_type> device_types() noexcept;
// nullptr when `name` is not one of them (exact, upper-case match).
const device_type* find_device_type(std::string_view name) noexcept;

// The largest device number taken: what the 3-byte number field of the
// Q/L-series subcommands holds (also applied to the extended devices).
inline constexpr std::uint32_t max_device_number = 0xFF'FFFF;

struct device_ref {
  const device_type* type = nullptr;
  std::uint32_t number = 0;
};

// Reads one entry ("D100", "X1F", "LTN3"). False with `error` (a sentence
// naming the entry) when the name is unknown or the number is missing,
// malformed or larger than max_device_number.
bool parse_device(std::string_view entry, device_ref& out, std::string& error);

// Reads a whole device list: entries separated by '\n', the last one
// ending with '\n' or not. Fails with `error` on a bad entry, an empty
// line, or when `count` is not the number of entries (or below 1).
bool parse_device_list(std::string_view text, std::int32_t count, std::vector<device_ref>& out, std::string& error);

}  // namespace kvt::plc::melsec::mc
