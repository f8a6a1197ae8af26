#include "melsec/melsec_sim_devices.hpp"

namespace kvt::test::melsec_sim {

namespace {

std::vector<device_info> make_table() {
  struct row {
    std::string_view name;
    kind type;
    std::uint16_t code;
    bool extended_only;
    std::uint32_t points;
  };
  // Binary device codes of the protocol reference's device code list;
  // sizes are those of a small Q / iQ-R CPU's default device setting.
  const row rows[] = {
      {"X", kind::bit, 0x9C, false, 8192},     {"Y", kind::bit, 0x9D, false, 8192},
      {"M", kind::bit, 0x90, false, 8192},     {"L", kind::bit, 0x92, false, 8192},
      {"B", kind::bit, 0xA0, false, 8192},     {"F", kind::bit, 0x93, false, 2048},
      {"SB", kind::bit, 0xA1, false, 2048},    {"TS", kind::bit, 0xC1, false, 2048},
      {"TC", kind::bit, 0xC0, false, 2048},    {"TN", kind::word, 0xC2, false, 2048},
      {"STS", kind::bit, 0xC7, false, 2048},   {"STC", kind::bit, 0xC6, false, 2048},
      {"STN", kind::word, 0xC8, false, 2048},  {"LTS", kind::bit, 0x51, true, 1024},
      {"LTC", kind::bit, 0x50, true, 1024},    {"LTN", kind::dword, 0x52, true, 1024},
      {"CS", kind::bit, 0xC4, false, 1024},    {"CC", kind::bit, 0xC3, false, 1024},
      {"CN", kind::word, 0xC5, false, 1024},   {"LCS", kind::bit, 0x55, true, 1024},
      {"LCC", kind::bit, 0x54, true, 1024},    {"LCN", kind::dword, 0x56, true, 1024},
      {"D", kind::word, 0xA8, false, 12288},   {"W", kind::word, 0xB4, false, 8192},
      {"SW", kind::word, 0xB5, false, 2048},   {"SM", kind::bit, 0x91, false, 4096},
      {"SD", kind::word, 0xA9, false, 4096},
  };
  std::vector<device_info> table;
  for (const row& r : rows) {
    table.push_back({r.name, r.type, r.code, r.extended_only, r.points, static_cast<std::uint8_t>(table.size())});
  }
  return table;
}

}  // namespace

const std::vector<device_info>& devices() {
  static const std::vector<device_info> table = make_table();
  return table;
}

const device_info* find_device(std::string_view name) {
  for (const device_info& d : devices()) {
    if (d.name == name) return &d;
  }
  return nullptr;
}

const device_info* find_device(std::uint16_t code, bool extended) {
  for (const device_info& d : devices()) {
    if (d.code == code && (extended || !d.extended_only)) return &d;
  }
  return nullptr;
}

device_memory::device_memory() {
  for (const device_info& d : devices()) cells_.emplace_back(d.points, 0u);
}

std::uint32_t device_memory::span(const device_info& d, unsigned unit_bits) {
  switch (d.type) {
    case kind::bit:
      return unit_bits;
    case kind::word:
      return unit_bits / 16;
    case kind::dword:
      return 1;
  }
  return 1;
}

std::uint16_t device_memory::unit16(const device_info& d, std::uint32_t n) const {
  if (d.type != kind::bit) return word(d, n);
  std::uint16_t v = 0;
  for (unsigned i = 0; i < 16; ++i) {
    if (bit(d, n + i)) v = static_cast<std::uint16_t>(v | (1u << i));
  }
  return v;
}

void device_memory::set_unit16(const device_info& d, std::uint32_t n, std::uint16_t v) {
  if (d.type != kind::bit) {
    set_word(d, n, v);
    return;
  }
  for (unsigned i = 0; i < 16; ++i) set_bit(d, n + i, ((v >> i) & 1u) != 0);
}

std::uint32_t device_memory::unit32(const device_info& d, std::uint32_t n) const {
  switch (d.type) {
    case kind::bit:
      return unit16(d, n) | (static_cast<std::uint32_t>(unit16(d, n + 16)) << 16);
    case kind::word:
      return word(d, n) | (static_cast<std::uint32_t>(word(d, n + 1)) << 16);
    case kind::dword:
      return dword(d, n);
  }
  return 0;
}

void device_memory::set_unit32(const device_info& d, std::uint32_t n, std::uint32_t v) {
  switch (d.type) {
    case kind::bit:
      set_unit16(d, n, static_cast<std::uint16_t>(v));
      set_unit16(d, n + 16, static_cast<std::uint16_t>(v >> 16));
      return;
    case kind::word:
      set_word(d, n, static_cast<std::uint16_t>(v));
      set_word(d, n + 1, static_cast<std::uint16_t>(v >> 16));
      return;
    case kind::dword:
      set_dword(d, n, v);
      return;
  }
}

}  // namespace kvt::test::melsec_sim
