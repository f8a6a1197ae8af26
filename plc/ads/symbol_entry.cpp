#include "plc/ads/symbol_entry.hpp"

#include <string>

#include "plc/ads/areas.hpp"

namespace kvt::plc::ads {

namespace {

std::uint32_t u32_at(std::span<const std::uint8_t> b, std::size_t at) noexcept {
  return static_cast<std::uint32_t>(b[at]) | static_cast<std::uint32_t>(b[at + 1]) << 8 |
         static_cast<std::uint32_t>(b[at + 2]) << 16 | static_cast<std::uint32_t>(b[at + 3]) << 24;
}

std::uint16_t u16_at(std::span<const std::uint8_t> b, std::size_t at) noexcept {
  return static_cast<std::uint16_t>(b[at] | b[at + 1] << 8);
}

std::string_view text_at(std::span<const std::uint8_t> b, std::size_t at, std::size_t length) noexcept {
  return {reinterpret_cast<const char*>(b.data() + at), length};
}

}  // namespace

std::optional<symbol_entry> read_symbol_entry(std::span<const std::uint8_t> bytes) noexcept {
  if (bytes.size() < symbol_entry_fixed_size) return std::nullopt;
  symbol_entry e;
  e.length = u32_at(bytes, 0);
  if (e.length < symbol_entry_fixed_size || e.length > bytes.size()) return std::nullopt;
  e.index_group = u32_at(bytes, 4);
  e.index_offset = u32_at(bytes, 8);
  const std::size_t name_length = u16_at(bytes, 24);
  const std::size_t type_length = u16_at(bytes, 26);
  const std::size_t comment_length = u16_at(bytes, 28);
  // Name, type name and comment, each with its NUL, inside the entry.
  const std::size_t type_at = symbol_entry_fixed_size + name_length + 1;
  const std::size_t comment_at = type_at + type_length + 1;
  if (comment_at + comment_length + 1 > e.length) return std::nullopt;
  if (bytes[type_at - 1] != 0 || bytes[comment_at - 1] != 0) return std::nullopt;
  e.name = text_at(bytes, symbol_entry_fixed_size, name_length);
  e.type_name = text_at(bytes, type_at, type_length);
  return e;
}

bool read_symbol_table(std::span<const std::uint8_t> table, std::uint32_t count, bool data_area,
                       std::vector<listing_entry>& out) {
  std::size_t at = 0;
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::span<const std::uint8_t> rest = table.subspan(at);
    if (rest.size() >= 4 && u32_at(rest, 0) == 0) break;  // the table ends early
    const auto e = read_symbol_entry(rest);
    if (!e) return false;
    const std::uint32_t type = type_of_plc_type(e->type_name);
    const std::uint32_t area = area_of_group(e->index_group, data_area);
    if (type != 0 && area != 0) {
      const std::string name(e->name);
      out.push_back({name, name, make_ads_tag(type, area, e->index_offset)});
    }
    at += e->length;
  }
  return true;
}

}  // namespace kvt::plc::ads
