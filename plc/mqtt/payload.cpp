#include "plc/mqtt/payload.hpp"

#include <array>
#include <bit>
#include <charconv>
#include <cstring>
#include <limits>
#include <system_error>

namespace kvt::plc::mqtt {

namespace {

namespace vt = value_type;

// Bytes a binary payload carries for the type.
constexpr std::size_t binary_width(std::uint32_t type) noexcept {
  switch (type) {
    case vt::boolean:
    case vt::u8:
    case vt::s8: return 1;
    case vt::u16:
    case vt::s16: return 2;
    case vt::lreal: return 8;
    default: return 4;
  }
}

void append_binary(std::string& out, std::uint64_t value, std::size_t width, payload_format format) {
  std::array<char, 8> bytes{};
  for (std::size_t i = 0; i < width; ++i) {
    const std::size_t shift = format == payload_format::big_endian ? 8 * (width - 1 - i) : 8 * i;
    bytes[i] = static_cast<char>((value >> shift) & 0xFF);
  }
  out.append(bytes.data(), width);
}

std::uint64_t read_binary(std::string_view payload, std::size_t width, payload_format format) noexcept {
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < width; ++i) {
    const std::size_t shift = format == payload_format::big_endian ? 8 * (width - 1 - i) : 8 * i;
    value |= std::uint64_t{static_cast<unsigned char>(payload[i])} << shift;
  }
  return value;
}

template <class Number>
void append_text(std::string& out, Number value) {
  std::array<char, 64> text;
  const auto result = std::to_chars(text.data(), text.data() + text.size(), value);
  out.append(text.data(), result.ptr);
}

// The slot after storing `value` in the type's width: narrow types keep the
// slot's upper bytes.
std::int32_t merge(std::int32_t slot, std::uint32_t value, std::uint32_t type) noexcept {
  std::uint32_t mask = 0xFFFF'FFFFu;
  if (binary_width(type) == 1) mask = 0xFFu;
  if (binary_width(type) == 2) mask = 0xFFFFu;
  const auto old = static_cast<std::uint32_t>(slot);
  return static_cast<std::int32_t>((old & ~mask) | (value & mask));
}

constexpr bool is_space(char c) noexcept {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

std::string_view trim_front(std::string_view s) noexcept {
  while (!s.empty() && is_space(s.front())) s.remove_prefix(1);
  return s;
}

std::string_view trim_back(std::string_view s) noexcept {
  while (!s.empty() && is_space(s.back())) s.remove_suffix(1);
  return s;
}

bool text_is_true(std::string_view s) noexcept {
  if (s == "1") return true;
  if (s.size() != 4) return false;
  constexpr std::string_view word = "true";
  for (std::size_t i = 0; i < 4; ++i)
    if ((s[i] | 0x20) != word[i]) return false;
  return true;
}

// Decimal digits up to the first other character, within [low, high];
// otherwise 0.
template <class Wide>
std::uint32_t parse_integer(std::string_view s, Wide low, Wide high) noexcept {
  Wide value = 0;
  const auto [ptr, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
  if (ptr == s.data() || ec != std::errc{} || value < low || value > high) return 0;
  return static_cast<std::uint32_t>(value);
}

template <class Float>
Float parse_float(std::string_view s) noexcept {
  Float value = 0;
  const auto [ptr, ec] = std::from_chars(s.data(), s.data() + s.size(), value, std::chars_format::general);
  if (ptr == s.data() || ec != std::errc{}) return 0;
  return value;
}

std::uint32_t decode_text(std::string_view payload, std::uint32_t type) noexcept {
  const std::string_view s = trim_front(payload);
  switch (type) {
    // Trailing white space is forgiven, as integers stop at the first non-digit.
    case vt::boolean: return text_is_true(trim_back(s)) ? 1u : 0u;
    case vt::u8: return parse_integer<std::uint64_t>(s, 0, 0xFF);
    case vt::u16: return parse_integer<std::uint64_t>(s, 0, 0xFFFF);
    case vt::u32: return parse_integer<std::uint64_t>(s, 0, 0xFFFF'FFFFu);
    case vt::s8: return parse_integer<std::int64_t>(s, -128, 127);
    case vt::s16: return parse_integer<std::int64_t>(s, -32768, 32767);
    case vt::s32:
      return parse_integer<std::int64_t>(s, std::numeric_limits<std::int32_t>::min(),
                                         std::numeric_limits<std::int32_t>::max());
    case vt::real: return std::bit_cast<std::uint32_t>(parse_float<float>(s));
    case vt::lreal: return std::bit_cast<std::uint32_t>(static_cast<float>(parse_float<double>(s)));
    default: return 0;
  }
}

std::uint32_t decode_binary(std::string_view payload, std::uint32_t type, payload_format format) noexcept {
  const std::size_t width = binary_width(type);
  if (payload.size() < width) return 0;
  const std::uint64_t raw = read_binary(payload, width, format);
  // A BOOL slot holds 0 or 1 whatever byte the publisher chose for true.
  if (type == vt::boolean) return raw != 0 ? 1u : 0u;
  if (type == vt::lreal) return std::bit_cast<std::uint32_t>(static_cast<float>(std::bit_cast<double>(raw)));
  return static_cast<std::uint32_t>(raw);
}

}  // namespace

bool append_payload(std::string& out, std::uint32_t type, payload_format format, std::int32_t slot) {
  if (!supported_type(type)) return false;
  const auto bits = static_cast<std::uint32_t>(slot);
  switch (format) {
    case payload_format::empty: return true;
    case payload_format::big_endian:
    case payload_format::little_endian: {
      const std::uint64_t value =
          type == vt::lreal ? std::bit_cast<std::uint64_t>(static_cast<double>(std::bit_cast<float>(bits))) : bits;
      append_binary(out, value, binary_width(type), format);
      return true;
    }
    case payload_format::text: break;
  }
  switch (type) {
    case vt::boolean: out.append((bits & 0xFFu) != 0 ? "true" : "false"); break;
    case vt::u8: append_text(out, bits & 0xFFu); break;
    case vt::u16: append_text(out, bits & 0xFFFFu); break;
    case vt::u32: append_text(out, bits); break;
    case vt::s8: append_text(out, static_cast<std::int8_t>(bits & 0xFFu)); break;
    case vt::s16: append_text(out, static_cast<std::int16_t>(bits & 0xFFFFu)); break;
    case vt::s32: append_text(out, static_cast<std::int32_t>(bits)); break;
    case vt::real: append_text(out, std::bit_cast<float>(bits)); break;
    default: append_text(out, static_cast<double>(std::bit_cast<float>(bits))); break;
  }
  return true;
}

std::int32_t decode_payload(std::string_view payload, std::uint32_t type, payload_format format,
                            std::int32_t slot) noexcept {
  if (!supported_type(type)) return slot;
  std::uint32_t value = 0;
  if (!payload.empty() && format != payload_format::empty)
    value = format == payload_format::text ? decode_text(payload, type) : decode_binary(payload, type, format);
  return merge(slot, value, type);
}

}  // namespace kvt::plc::mqtt
