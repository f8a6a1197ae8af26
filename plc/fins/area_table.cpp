#include "plc/fins/area_table.hpp"

#include <array>

namespace kvt::plc::fins {

namespace {

struct area_row {
  family fam;
  std::string_view name;
  access acc;
  std::uint8_t area_code;
  std::uint16_t lowest;
  std::uint16_t highest;
  std::uint16_t start;  // FINS word address of `lowest`
  bool readable;
  std::uint16_t writable_from;  // lowest writable word
  bool writable;
};

constexpr area_row row(family f, std::string_view name, access a, std::uint8_t code, std::uint16_t lo,
                       std::uint16_t hi, std::uint16_t start, bool writable, std::uint16_t writable_from = 0) {
  return {f, name, a, code, lo, hi, start, true, writable_from, writable};
}

constexpr auto cs = family::cs_cj;
constexpr auto cv = family::cv;
constexpr auto bit = access::bit;
constexpr auto word = access::word;

// Searched from the top. The auxiliary area's words below 448 are the
// controller's own and may only be read.
constexpr std::array rows{
    row(cs, "CIO", bit, 0x30, 0, 6143, 0, true),     row(cs, "CIO", word, 0xB0, 0, 6143, 0, true),
    row(cs, "W", bit, 0x31, 0, 511, 0, true),        row(cs, "W", word, 0xB1, 0, 511, 0, true),
    row(cs, "H", bit, 0x32, 0, 511, 0, true),        row(cs, "H", word, 0xB2, 0, 511, 0, true),
    row(cs, "A", bit, 0x33, 0, 959, 0, true, 448),   row(cs, "A", word, 0xB3, 0, 959, 0, true, 448),
    row(cs, "DM", bit, 0x02, 0, 32767, 0, true),     row(cs, "DM", word, 0x82, 0, 32767, 0, true),
    row(cv, "CIO", bit, 0x00, 0, 2555, 0, false),    row(cv, "CIO", word, 0x80, 0, 2555, 0, true),
    row(cv, "A", bit, 0x00, 0, 959, 2816, false),    row(cv, "A", word, 0x80, 0, 959, 2816, true, 448),
    row(cv, "DM", word, 0x82, 0, 32767, 0, true),
};

}  // namespace

family family_of_model(std::string_view model) noexcept {
  const std::string_view head = model.substr(0, 2);
  for (const std::string_view p : {"CS", "CJ", "CP", "NJ", "NX"})
    if (head == p) return family::cs_cj;
  if (head == "CV") return family::cv;
  return family::unknown;
}

std::optional<fins_address> resolve(family f, access a, service s, std::string_view area_name,
                                    std::uint32_t word_number, std::uint8_t bit_number) noexcept {
  for (const area_row& r : rows) {
    if (r.fam != f || r.acc != a || r.name != area_name) continue;
    if (word_number < r.lowest || word_number > r.highest) continue;
    if (s == service::read ? !r.readable : (!r.writable || word_number < r.writable_from)) continue;
    return fins_address{r.area_code, static_cast<std::uint16_t>(r.start + word_number - r.lowest),
                        a == access::bit ? bit_number : std::uint8_t{0}};
  }
  return std::nullopt;
}

}  // namespace kvt::plc::fins
