#include "ros2/type_description.hpp"

#include <simdjson.h>

#include <array>
#include <limits>

namespace kvt::ros2 {

namespace {

using simdjson::dom::element;
using simdjson::dom::object;

constexpr std::uint64_t max_u32 = std::numeric_limits<std::uint32_t>::max();

// Field type ids above these are unbounded sequences, bounded sequences and
// fixed arrays of the base id below them.
constexpr std::uint32_t unbounded_sequence_offset = 144;
constexpr std::uint32_t bounded_sequence_offset = 96;
constexpr std::uint32_t fixed_array_offset = 48;

// Catalogue type code per base id 1..22 (index 0 unused).
constexpr std::array<int, 23> type_codes{0, 10, 11, 12, 13, 14, 3, 2, 15, 16, 4, 5, 29, 25, 27, 1, 12, 6, 31, 6, 31, 6, 31};
constexpr int string_code = 6;
constexpr int wstring_code = 31;

bool read_u32(object o, const char* key, std::uint32_t& out) {
  std::uint64_t v = 0;
  if (o[key].get_uint64().get(v) || v > max_u32) return false;
  out = static_cast<std::uint32_t>(v);
  return true;
}

bool read_described(element e, described_type& out) {
  object o;
  if (e.get_object().get(o)) return false;
  std::string_view name;
  if (o["type_name"].get_string().get(name)) return false;
  simdjson::dom::array fields;
  if (o["fields"].get_array().get(fields)) return false;
  out.type_name = name;
  for (element f : fields) {
    object fo;
    object type;
    std::string_view field_name;
    if (f.get_object().get(fo) || fo["name"].get_string().get(field_name) || fo["type"].get_object().get(type))
      return false;
    description_field field;
    field.name = field_name;
    if (!read_u32(type, "type_id", field.type_id) || !read_u32(type, "capacity", field.capacity) ||
        !read_u32(type, "string_capacity", field.string_capacity))
      return false;
    std::string_view nested;
    if (!type["nested_type_name"].get_string().get(nested)) field.nested_type_name = nested;
    out.fields.push_back(std::move(field));
  }
  return true;
}

}  // namespace

std::optional<type_description> read_type_description(const std::filesystem::path& path) {
  simdjson::dom::parser parser;
  element doc;
  if (parser.load(path.string()).get(doc)) return std::nullopt;
  object msg;
  if (doc["type_description_msg"].get_object().get(msg)) return std::nullopt;
  element main;
  if (msg["type_description"].get(main)) return std::nullopt;
  type_description out;
  if (!read_described(main, out.main)) return std::nullopt;
  simdjson::dom::array referenced;
  if (!msg["referenced_type_descriptions"].get_array().get(referenced)) {
    for (element r : referenced) {
      described_type t;
      if (!read_described(r, t)) return std::nullopt;
      out.referenced.push_back(std::move(t));
    }
  }
  return out;
}

std::optional<field_list> convert_fields(const described_type& type) {
  field_list out;
  out.reserve(type.fields.size());
  for (const description_field& d : type.fields) {
    ros2_field f;
    f.name = d.name;
    f.message_type = d.nested_type_name;
    std::uint32_t base = d.type_id;
    if (base > unbounded_sequence_offset) {
      f.array = f.dynamic = true;
      base -= unbounded_sequence_offset;
    } else if (base > bounded_sequence_offset) {
      f.array = f.dynamic = true;
      base -= bounded_sequence_offset;
    } else if (base > fixed_array_offset) {
      f.array = true;
      base -= fixed_array_offset;
    }
    if (base < 1 || base >= type_codes.size()) return std::nullopt;
    f.type = type_codes[base];
    f.count = f.array ? d.capacity : 0;
    if (f.type == string_code || f.type == wstring_code) {
      f.max_length = d.string_capacity;
      if (d.string_capacity == 0) f.dynamic = true;
    }
    out.push_back(std::move(f));
  }
  return out;
}

}  // namespace kvt::ros2
