#include "ads/ads_sim_symbols.hpp"

#include <algorithm>
#include <array>
#include <cctype>
#include <stdexcept>

namespace kvt::test::ads_sim {

namespace {

constexpr std::array<basic_type, 14> types{{
    {"BOOL", 33, 1},
    {"BYTE", 17, 1},
    {"USINT", 17, 1},
    {"SINT", 16, 1},
    {"WORD", 18, 2},
    {"UINT", 18, 2},
    {"INT", 2, 2},
    {"DWORD", 19, 4},
    {"UDINT", 19, 4},
    {"DINT", 3, 4},
    {"REAL", 4, 4},
    {"LREAL", 5, 8},
    {"LINT", 20, 8},
    {"ULINT", 21, 8},
}};

bool same_name(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

// A small stable hash for the data type entries' hash fields.
std::uint32_t name_hash(const std::string& s) {
  std::uint32_t h = 2166136261u;
  for (const char c : s) h = (h ^ static_cast<std::uint8_t>(c)) * 16777619u;
  return h;
}

void pad_entry(bytes& entry) {
  while (entry.size() % 4 != 0) entry.push_back(0);
  set_u32(entry, 0, static_cast<std::uint32_t>(entry.size()));
}

}  // namespace

const basic_type* find_type(const std::string& name) {
  for (const basic_type& t : types) {
    if (same_name(name, t.name)) return &t;
  }
  return nullptr;
}

symbol_table::symbol_table() { clear(); }

void symbol_table::clear() {
  symbols_.clear();
  areas_ = {{area::memory, bytes(4096)}, {area::data, bytes(65536)}, {area::inputs, bytes(1024)},
            {area::outputs, bytes(1024)}};
  next_data_offset_ = 0;
}

const symbol& symbol_table::add(const std::string& name, const std::string& type, std::uint32_t group,
                                std::optional<std::uint32_t> offset, const std::string& comment) {
  const basic_type* t = find_type(type);
  if (t == nullptr) throw std::invalid_argument("ads simulator: unknown type " + type);
  if (name.empty() || find(name) != nullptr) throw std::invalid_argument("ads simulator: name taken: " + name);
  const auto a = areas_.find(group);
  if (a == areas_.end()) throw std::invalid_argument("ads simulator: no memory area for this group");
  std::uint32_t at = 0;
  if (offset) {
    at = *offset;
  } else if (group == area::data) {
    const std::uint32_t align = std::min<std::uint32_t>(t->size, 8);
    at = (next_data_offset_ + align - 1) / align * align;
  } else {
    throw std::invalid_argument("ads simulator: a located symbol needs an offset");
  }
  if (std::uint64_t{at} + t->size > a->second.size()) throw std::invalid_argument("ads simulator: outside its area");
  if (group == area::data) next_data_offset_ = std::max(next_data_offset_, at + t->size);
  std::fill_n(a->second.begin() + at, t->size, std::uint8_t{0});
  symbols_.push_back(symbol{name, t, group, at, comment});
  return symbols_.back();
}

const symbol* symbol_table::find(const std::string& name) const {
  for (const symbol& s : symbols_) {
    if (same_name(s.name, name)) return &s;
  }
  return nullptr;
}

read_result symbol_table::read(std::uint32_t group, std::uint32_t offset, std::uint32_t length) const {
  const auto a = areas_.find(group);
  if (a == areas_.end()) return {error::invalid_index_group, {}};
  const bytes& mem = a->second;
  if (offset >= mem.size()) return {error::invalid_index_offset, {}};
  if (std::uint64_t{offset} + length > mem.size()) return {error::invalid_size, {}};
  return {error::none, bytes(mem.begin() + offset, mem.begin() + offset + length)};
}

std::uint32_t symbol_table::write(std::uint32_t group, std::uint32_t offset, const bytes& data) {
  const auto a = areas_.find(group);
  if (a == areas_.end()) return error::invalid_index_group;
  bytes& mem = a->second;
  if (offset >= mem.size()) return error::invalid_index_offset;
  if (std::uint64_t{offset} + data.size() > mem.size()) return error::invalid_size;
  std::copy(data.begin(), data.end(), mem.begin() + offset);
  return error::none;
}

bytes symbol_table::value(const std::string& name) const {
  const symbol* s = find(name);
  if (s == nullptr) throw std::invalid_argument("ads simulator: no symbol " + name);
  return read(s->group, s->offset, s->type->size).data;
}

void symbol_table::set_value(const std::string& name, const bytes& value) {
  const symbol* s = find(name);
  if (s == nullptr) throw std::invalid_argument("ads simulator: no symbol " + name);
  if (value.size() != s->type->size) throw std::invalid_argument("ads simulator: wrong size for " + name);
  write(s->group, s->offset, value);
}

bytes symbol_table::symbol_entry(const symbol& s) {
  bytes e;
  put_u32(e, 0);  // entry length, set below
  put_u32(e, s.group);
  put_u32(e, s.offset);
  put_u32(e, s.type->size);
  put_u32(e, s.type->adst);
  put_u16(e, 0);  // flags
  put_u16(e, 0);  // array dimensions
  put_u16(e, static_cast<std::uint32_t>(s.name.size()));
  put_u16(e, static_cast<std::uint32_t>(std::string(s.type->name).size()));
  put_u16(e, static_cast<std::uint32_t>(s.comment.size()));
  put_bytes(e, s.name);
  put_u8(e, 0);
  put_bytes(e, std::string(s.type->name));
  put_u8(e, 0);
  put_bytes(e, s.comment);
  put_u8(e, 0);
  pad_entry(e);
  return e;
}

bytes symbol_table::symbol_upload() const {
  bytes out;
  for (const symbol& s : symbols_) put_bytes(out, symbol_entry(s));
  return out;
}

bytes symbol_table::type_entry(const basic_type& t) {
  const std::string name = t.name;
  bytes e;
  put_u32(e, 0);
  put_u32(e, 1);  // version
  put_u32(e, name_hash(name));
  put_u32(e, name_hash(name));
  put_u32(e, t.size);
  put_u32(e, 0);
  put_u32(e, t.adst);
  put_u32(e, 1);  // flags: a data type
  put_u16(e, static_cast<std::uint32_t>(name.size()));
  put_u16(e, 0);
  put_u16(e, 0);
  put_u16(e, 0);
  put_u16(e, 0);
  put_bytes(e, name);
  put_u8(e, 0);
  put_u8(e, 0);
  put_u8(e, 0);
  pad_entry(e);
  return e;
}

std::vector<bytes> symbol_table::type_upload() const {
  std::vector<bytes> out;
  for (const basic_type& t : types) {
    const bool used = std::any_of(symbols_.begin(), symbols_.end(), [&](const symbol& s) { return s.type == &t; });
    if (used) out.push_back(type_entry(t));
  }
  return out;
}

}  // namespace kvt::test::ads_sim
