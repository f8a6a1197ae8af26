#include "plc/melsec/mc/devices.hpp"

#include <array>

namespace kvt::plc::melsec::mc {
namespace {

using k = device_kind;

// Names, binary codes and radix as the MC protocol reference lists them.
constexpr std::array<device_type, 27> types{{
    {"X", 0x9C, k::bit, true, false},      {"Y", 0x9D, k::bit, true, false},
    {"M", 0x90, k::bit, false, false},     {"L", 0x92, k::bit, false, false},
    {"B", 0xA0, k::bit, true, false},      {"F", 0x93, k::bit, false, false},
    {"SB", 0xA1, k::bit, true, false},     {"TS", 0xC1, k::bit, false, false},
    {"TC", 0xC0, k::bit, false, false},    {"TN", 0xC2, k::word, false, false},
    {"STS", 0xC7, k::bit, false, false},   {"STC", 0xC6, k::bit, false, false},
    {"STN", 0xC8, k::word, false, false},  {"LTS", 0x51, k::bit, false, true},
    {"LTC", 0x50, k::bit, false, true},    {"LTN", 0x52, k::dword, false, true},
    {"CS", 0xC4, k::bit, false, false},    {"CC", 0xC3, k::bit, false, false},
    {"CN", 0xC5, k::word, false, false},   {"LCS", 0x55, k::bit, false, true},
    {"LCC", 0x54, k::bit, false, true},    {"LCN", 0x56, k::dword, false, true},
    {"D", 0xA8, k::word, false, false},    {"W", 0xB4, k::word, true, false},
    {"SW", 0xB5, k::word, true, false},    {"SM", 0x91, k::bit, false, false},
    {"SD", 0xA9, k::word, false, false},
}};

int digit_value(char c, bool hex) {
  if (c >= '0' && c <= '9') return c - '0';
  if (!hex) return -1;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

std::string quoted(std::string_view entry) {
  std::string q = "device '";
  q += entry;
  q += '\'';
  return q;
}

}  // namespace

std::span<const device_type> device_types() noexcept { return types; }

const device_type* find_device_type(std::string_view name) noexcept {
  for (const device_type& t : types)
    if (t.name == name) return &t;
  return nullptr;
}

bool parse_device(std::string_view entry, device_ref& out, std::string& error) {
  // The longest known name the entry starts with: no name in the list is
  // the start of another that could also be followed by a valid number.
  const device_type* type = nullptr;
  for (const device_type& t : types)
    if (entry.starts_with(t.name) && (type == nullptr || t.name.size() > type->name.size())) type = &t;
  if (type == nullptr) {
    error = quoted(entry) + " is not known";
    return false;
  }
  const std::string_view digits = entry.substr(type->name.size());
  if (digits.empty()) {
    error = quoted(entry) + " has no number";
    return false;
  }
  std::uint64_t number = 0;
  for (const char c : digits) {
    const int d = digit_value(c, type->hex);
    if (d < 0) {
      error = quoted(entry) + " has a bad number (" + std::string(type->name) + " numbers are " +
              (type->hex ? "hexadecimal)" : "decimal)");
      return false;
    }
    number = number * (type->hex ? 16 : 10) + static_cast<std::uint64_t>(d);
    if (number > max_device_number) {
      error = quoted(entry) + " is out of range (largest number " +
              (type->hex ? std::string("FFFFFF") : std::to_string(max_device_number)) + ")";
      return false;
    }
  }
  out.type = type;
  out.number = static_cast<std::uint32_t>(number);
  return true;
}

bool parse_device_list(std::string_view text, std::int32_t count, std::vector<device_ref>& out, std::string& error) {
  out.clear();
  if (count < 1) {
    error = "count " + std::to_string(count) + " is not a number of devices";
    return false;
  }
  std::size_t line = 0;
  while (!text.empty()) {
    ++line;
    const std::size_t end = text.find('\n');
    const std::string_view entry = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
    if (entry.empty()) {
      error = "device list line " + std::to_string(line) + " is empty";
      return false;
    }
    device_ref ref;
    if (!parse_device(entry, ref, error)) return false;
    out.push_back(ref);
  }
  if (out.size() != static_cast<std::size_t>(count)) {
    error = "device list holds " + std::to_string(out.size()) + " devices, count says " + std::to_string(count);
    return false;
  }
  return true;
}

}  // namespace kvt::plc::melsec::mc
