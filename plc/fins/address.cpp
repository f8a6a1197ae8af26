#include "plc/fins/address.hpp"

namespace kvt::plc::fins {

namespace {

bool is_space(char c) noexcept { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }
bool is_letter(char c) noexcept { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

// Reads a decimal number of at most `limit` from `text` at `pos`; nullopt
// without a digit or above the limit.
std::optional<std::uint32_t> read_number(std::string_view text, std::size_t& pos, std::uint32_t limit) noexcept {
  if (pos >= text.size() || !is_digit(text[pos])) return std::nullopt;
  std::uint32_t value = 0;
  while (pos < text.size() && is_digit(text[pos])) {
    value = value * 10 + static_cast<std::uint32_t>(text[pos] - '0');
    if (value > limit) return std::nullopt;
    ++pos;
  }
  return value;
}

}  // namespace

std::optional<text_address> parse_address(std::string_view text) noexcept {
  text_address a;
  std::size_t pos = 0;
  while (pos < text.size() && is_space(text[pos])) ++pos;
  std::size_t letters = 0;
  while (pos < text.size() && is_letter(text[pos])) {
    if (letters == 3) return std::nullopt;
    const char c = text[pos++];
    a.area[letters++] = c >= 'a' ? static_cast<char>(c - 'a' + 'A') : c;
  }
  if (letters == 0) return std::nullopt;
  while (pos < text.size() && is_space(text[pos])) ++pos;
  // Word numbers beyond 16 bits match no area; the limit only keeps the
  // arithmetic from overflowing.
  const auto word = read_number(text, pos, 0xFFFFFu);
  if (!word) return std::nullopt;
  a.word = *word;
  if (pos < text.size() && text[pos] == '.') {
    ++pos;
    const auto bit = read_number(text, pos, 15);
    if (!bit) return std::nullopt;
    a.bit = static_cast<std::uint8_t>(*bit);
    a.has_bit = true;
  }
  if (pos != text.size()) return std::nullopt;
  return a;
}

}  // namespace kvt::plc::fins
