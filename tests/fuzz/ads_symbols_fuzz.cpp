// Fuzz target: ADS symbol tables as the symbol upload (0xF00B) delivers
// them and the ADS driver reads them for the tag listing. The input's
// first four bytes are the symbol count the upload info announced
// (little-endian), the fifth byte's low bit the data-area switch; the rest
// is the uploaded table.
// Checked:
// - nothing is read beyond the input (AddressSanitizer);
// - the table reader accepts exactly the tables whose entries, walked here
//   on their own, all fit: entry length at least the fixed part and at most
//   the bytes left, name, type name and comment (each with its NUL) inside
//   the entry, NULs after the name and the type name; an entry length of 0
//   ends the table early;
// - it appends (what the list held before stays) one listing entry per
//   symbol whose type and area the driver carries, in table order, and
//   nothing else: the name is the entry's name bytes in the input, the path
//   the same, the tag of a non-zero type and area, the type of the entry's
//   type name, the area that of its index group and the entry's offset;
// - the single-entry reader gives, for the table and for each entry, a name
//   and a type name inside the bytes it was given, of the lengths their
//   fields say, or nothing exactly when the entry does not fit.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "plc/ads/areas.hpp"
#include "plc/ads/symbol_entry.hpp"
#include "plc/listing_entry.hpp"
#include "plc/value_type.hpp"
#include "support/check.hpp"
#include "support/input_reader.hpp"

namespace {

namespace ads = kvt::plc::ads;
using bytes = std::span<const std::uint8_t>;

constexpr std::size_t fixed = ads::symbol_entry_fixed_size;

std::uint32_t le(bytes b, std::size_t at, std::size_t n) {
  std::uint32_t v = 0;
  for (std::size_t i = 0; i < n; ++i) v |= std::uint32_t{b[at + i]} << (8 * i);
  return v;
}

bool inside(std::string_view part, bytes whole) {
  const auto* begin = reinterpret_cast<const char*>(whole.data());
  return part.empty() || (part.data() >= begin && part.data() + part.size() <= begin + whole.size());
}

// One entry as the layout describes it, found independently of the reader.
struct expected_entry {
  std::uint32_t length = 0;
  std::uint32_t group = 0;
  std::uint32_t offset = 0;
  std::size_t name_at = 0;  // from the entry's start
  std::size_t name_length = 0;
  std::size_t type_at = 0;
  std::size_t type_length = 0;
};

std::optional<expected_entry> entry_at(bytes b) {
  if (b.size() < fixed) return std::nullopt;
  expected_entry e;
  e.length = le(b, 0, 4);
  if (e.length < fixed || e.length > b.size()) return std::nullopt;
  e.group = le(b, 4, 4);
  e.offset = le(b, 8, 4);
  e.name_at = fixed;
  e.name_length = le(b, 24, 2);
  e.type_at = e.name_at + e.name_length + 1;
  e.type_length = le(b, 26, 2);
  const std::size_t comment_at = e.type_at + e.type_length + 1;
  const std::size_t comment_length = le(b, 28, 2);
  if (comment_at + comment_length + 1 > e.length) return std::nullopt;
  if (b[e.type_at - 1] != 0 || b[comment_at - 1] != 0) return std::nullopt;
  return e;
}

std::string_view text(bytes b, std::size_t at, std::size_t length) {
  return {reinterpret_cast<const char*>(b.data() + at), length};
}

void check_entry_reader(bytes b) {
  const auto got = ads::read_symbol_entry(b);
  const auto want = entry_at(b);
  KVT_FUZZ_CHECK(got.has_value() == want.has_value(), "a %zu-byte entry was %s", b.size(),
                 got ? "taken" : "refused");
  if (!got) return;
  KVT_FUZZ_CHECK(got->length == want->length && got->index_group == want->group && got->index_offset == want->offset,
                 "entry fields: length %u, group 0x%X, offset %u", got->length, got->index_group, got->index_offset);
  KVT_FUZZ_CHECK(inside(got->name, b) && got->name.data() == text(b, want->name_at, 0).data() &&
                     got->name.size() == want->name_length,
                 "a name of %zu bytes out of place", got->name.size());
  KVT_FUZZ_CHECK(inside(got->type_name, b) && got->type_name.data() == text(b, want->type_at, 0).data() &&
                     got->type_name.size() == want->type_length,
                 "a type name of %zu bytes out of place", got->type_name.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  kvt::fuzz::input_reader in(data, size);
  const std::uint32_t count = in.word();
  const bool data_area = in.flag();
  const std::size_t used = size - in.remaining();
  const bytes table(data + used, size - used);

  check_entry_reader(table);

  // The walk the reader should make, and what it should list.
  struct listed {
    std::size_t name_at;  // in `table`
    std::size_t name_length;
    std::uint64_t tag;
  };
  std::vector<listed> want;
  bool valid = true;
  std::size_t at = 0;
  for (std::uint32_t i = 0; i < count; ++i) {
    const bytes rest = table.subspan(at);
    if (rest.size() >= 4 && le(rest, 0, 4) == 0) break;
    check_entry_reader(rest);
    const auto e = entry_at(rest);
    if (!e) {
      valid = false;
      break;
    }
    const std::uint32_t type = ads::type_of_plc_type(text(rest, e->type_at, e->type_length));
    const std::uint32_t area = ads::area_of_group(e->group, data_area);
    if (type != 0 && area != 0) want.push_back({at + e->name_at, e->name_length, ads::make_ads_tag(type, area, e->offset)});
    at += e->length;
  }

  std::vector<kvt::plc::listing_entry> out{{"before", "before", 7}};
  const bool ok = ads::read_symbol_table(table, count, data_area, out);
  KVT_FUZZ_CHECK(ok == valid, "a table of %zu bytes and %u entries was %s", table.size(), count,
                 ok ? "taken" : "refused");
  KVT_FUZZ_CHECK(!out.empty() && out[0].name == "before" && out[0].path == "before" && out[0].tag == 7,
                 "the entries listed before were changed");
  if (!ok) {
    // A refused table may have listed the entries before the bad one.
    KVT_FUZZ_CHECK(out.size() - 1 <= want.size(), "%zu entries listed from a refused table", out.size() - 1);
  } else {
    KVT_FUZZ_CHECK(out.size() - 1 == want.size(), "%zu entries listed, %zu expected", out.size() - 1, want.size());
  }
  for (std::size_t k = 1; k < out.size(); ++k) {
    const kvt::plc::listing_entry& e = out[k];
    const listed& w = want[k - 1];
    KVT_FUZZ_CHECK(w.name_at + w.name_length <= table.size() && e.name == text(table, w.name_at, w.name_length),
                   "entry %zu: the name is not the table's", k - 1);
    KVT_FUZZ_CHECK(e.path == e.name, "entry %zu: path and name differ", k - 1);
    KVT_FUZZ_CHECK(kvt::plc::tag_type(e.tag) != 0 && ads::tag_area(e.tag) != 0, "entry %zu: tag 0x%llX", k - 1,
                   static_cast<unsigned long long>(e.tag));
    KVT_FUZZ_CHECK(e.tag == w.tag, "entry %zu: tag 0x%llX, expected 0x%llX", k - 1,
                   static_cast<unsigned long long>(e.tag), static_cast<unsigned long long>(w.tag));
  }
  return 0;
}
