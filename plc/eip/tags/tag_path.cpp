#include "plc/eip/tags/tag_path.hpp"

#include <charconv>
#include <cstdint>

#include "plc/eip/tags/plc_tag.hpp"

namespace kvt::plc::eip {

namespace {

constexpr std::uint8_t ansi_extended_symbol = 0x91;

bool is_separator(char c) noexcept { return c == '.' || c == '[' || c == ']' || c == ','; }
bool is_symbol_char(char c) noexcept {
  const auto u = static_cast<unsigned char>(c);
  return u > 0x20 && u != 0x7F && !is_separator(c);
}
bool all_digits(std::string_view s) noexcept {
  for (const char c : s)
    if (c < '0' || c > '9') return false;
  return !s.empty();
}

std::string_view trim(std::string_view s) noexcept {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

template <class T>
bool parse_number(std::string_view s, T& value) noexcept {
  if (!all_digits(s)) return false;
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
  return ec == std::errc() && end == s.data() + s.size();
}

}  // namespace

void put_symbolic_segment(byte_buffer& out, std::string_view symbol) {
  put_u8(out, ansi_extended_symbol);
  put_u8(out, static_cast<std::uint8_t>(symbol.size()));
  put_text(out, symbol);
  if (symbol.size() % 2 != 0) put_u8(out, 0);
}

void put_element_segment(byte_buffer& out, std::uint32_t index) {
  if (index <= 0xFF) {
    put_u8(out, 0x28);
    put_u8(out, static_cast<std::uint8_t>(index));
  } else if (index <= 0xFFFF) {
    put_u8(out, 0x29);
    put_u8(out, 0);
    put_u16(out, static_cast<std::uint16_t>(index));
  } else {
    put_u8(out, 0x2A);
    put_u8(out, 0);
    put_u32(out, index);
  }
}

int encode_tag_path(std::string_view name, byte_buffer& out) {
  out.clear();
  std::size_t i = 0;
  const std::size_t n = name.size();
  for (;;) {
    // A symbol.
    const std::size_t start = i;
    while (i < n && is_symbol_char(name[i])) ++i;
    const std::string_view symbol = name.substr(start, i - start);
    if (symbol.empty() || symbol.size() > max_symbol_length || all_digits(symbol)) return err_bad_param;
    put_symbolic_segment(out, symbol);
    // Its index lists.
    while (i < n && name[i] == '[') {
      ++i;
      for (;;) {
        const std::size_t from = i;
        while (i < n && name[i] != ',' && name[i] != ']') ++i;
        std::uint32_t index = 0;
        if (i == n || !parse_number(trim(name.substr(from, i - from)), index)) return err_bad_param;
        put_element_segment(out, index);
        if (name[i++] == ']') break;
      }
    }
    if (i == n) break;
    if (name[i] != '.') return err_bad_param;
    ++i;
  }
  return out.size() / 2 > 0xFF ? err_bad_param : status_ok;
}

int encode_route_path(std::string_view route, byte_buffer& out) {
  out.clear();
  route = trim(route);
  if (route.empty()) return status_ok;
  std::size_t i = 0;
  const auto next = [&](std::string_view& token) {
    if (i > route.size()) return false;
    const std::size_t comma = route.find(',', i);
    const std::size_t end = comma == std::string_view::npos ? route.size() : comma;
    token = trim(route.substr(i, end - i));
    i = end + 1;
    return true;
  };
  std::string_view port_text, link_text;
  while (next(port_text)) {
    unsigned port = 0;
    if (!next(link_text) || !parse_number(port_text, port) || port < 1 || port > 14 || link_text.empty())
      return err_bad_param;
    unsigned link = 0;
    if (all_digits(link_text)) {
      if (!parse_number(link_text, link) || link > 0xFF) return err_bad_param;
      put_u8(out, static_cast<std::uint8_t>(port));
      put_u8(out, static_cast<std::uint8_t>(link));
    } else {
      // An extended link address: its characters, padded to an even length.
      if (link_text.size() > 0xFF) return err_bad_param;
      for (const char c : link_text)
        if (!is_symbol_char(c) && c != '.') return err_bad_param;
      put_u8(out, static_cast<std::uint8_t>(0x10 | port));
      put_u8(out, static_cast<std::uint8_t>(link_text.size()));
      put_text(out, link_text);
      if (link_text.size() % 2 != 0) put_u8(out, 0);
    }
  }
  return out.size() / 2 > 0xFF ? err_bad_param : status_ok;
}

}  // namespace kvt::plc::eip
