#include "plc/eip/tag_listing.hpp"

#include <array>
#include <cstdio>
#include <string>

#include "plc/eip/tag_attributes.hpp"
#include "plc/eip/tag_handle.hpp"
#include "plc/eip/tags/plc_tag.hpp"
#include "plc/value_type.hpp"

namespace kvt::plc::eip {

namespace {

// Symbol type bits of a Logix listing entry.
constexpr std::uint16_t atomic_type_mask = 0x00FF;
constexpr std::uint16_t system_bit = 0x1000;
constexpr std::uint16_t dimensions_mask = 0x6000;
constexpr unsigned dimensions_shift = 13;
constexpr std::uint16_t structure_bit = 0x8000;
constexpr std::uint32_t dint = 0xC4;
constexpr std::string_view container_name = "__CONTAINER";
constexpr std::string_view program_prefix = "Program:";

// Byte offsets within one listing entry.
constexpr int entry_type_offset = 4;
constexpr int entry_size_offset = 6;
constexpr int entry_dimensions_offset = 8;
constexpr int entry_name_offset = 20;

struct symbol {
  std::string name;
  std::string parent;  // the program, for program-scope tags
  std::uint16_t type = 0;
  std::uint16_t element_size = 0;
  std::uint32_t element_count = 1;
};

// Reads a listing tag's payload into `symbols`; false when the payload is
// too small to hold an entry.
bool parse_listing(std::int32_t tag, const std::string& parent, std::vector<symbol>& symbols) {
  const int size = plc_tag_get_size(tag);
  if (size <= 3) {
    std::fprintf(stderr, "Unexpectedly small payload size %d!\n", size);
    return false;
  }
  int offset = 0;
  while (offset + entry_name_offset < size) {
    symbol s;
    s.parent = parent;
    s.type = plc_tag_get_uint16(tag, offset + entry_type_offset);
    s.element_size = plc_tag_get_uint16(tag, offset + entry_size_offset);
    const unsigned dimensions = (s.type & dimensions_mask) >> dimensions_shift;
    for (unsigned d = 0; d < dimensions; ++d)
      s.element_count *= plc_tag_get_uint32(tag, offset + entry_dimensions_offset + 4 * static_cast<int>(d));
    const int name_at = offset + entry_name_offset;
    const int length = plc_tag_get_string_length(tag, name_at);
    const int total = plc_tag_get_string_total_length(tag, name_at);
    if (length < 0 || total <= 0) {
      std::fprintf(stderr, "Unable to get tag name string, error %s!\n", plc_tag_decode_error(length < 0 ? length : total));
      break;
    }
    s.name.resize(static_cast<std::size_t>(length) + 1);
    const int got = plc_tag_get_string(tag, name_at, s.name.data(), length + 1);
    if (got != status_ok) {
      std::fprintf(stderr, "Unable to get tag name string, error %s!\n", plc_tag_decode_error(got));
      break;
    }
    s.name.resize(static_cast<std::size_t>(length));
    symbols.push_back(std::move(s));
    offset = name_at + total;
  }
  return true;
}

// Creates and reads one listing tag; the messages for its two failures.
bool read_listing(const std::string& attributes, const std::string& parent, const char* create_failure,
                  const char* read_failure, std::vector<symbol>& symbols) {
  const libplctag_handle listing(plc_tag_create(attributes.c_str(), listing_timeout_ms));
  if (listing.id() < 0) {
    if (create_failure != nullptr)
      std::fprintf(stderr, create_failure, plc_tag_decode_error(listing.id()));
    else
      std::fprintf(stderr, "%s\n", plc_tag_decode_error(listing.id()));
    return false;
  }
  const int rc = plc_tag_read(listing.id(), listing_timeout_ms);
  if (rc != status_ok) {
    std::fprintf(stderr, read_failure, plc_tag_decode_error(rc));
    return false;
  }
  return parse_listing(listing.id(), parent, symbols);
}

bool listed(const symbol& s) {
  if ((s.type & (system_bit | structure_bit)) != 0 || (s.type & dimensions_mask) != 0) return false;
  const std::uint32_t code = s.type & atomic_type_mask;
  if (value_type_of_cip(code) == 0) return false;
  return !(s.parent.empty() && code == dint && s.name == container_name);
}

// One raw CIP request through the "@raw" tag; the reply's bytes.
bool raw_request(std::int32_t tag, const std::vector<std::uint8_t>& request, std::vector<std::uint8_t>& reply) {
  if (plc_tag_set_size(tag, static_cast<int>(request.size())) < 0) return false;
  for (std::size_t i = 0; i < request.size(); ++i) plc_tag_set_uint8(tag, static_cast<int>(i), request[i]);
  if (plc_tag_write(tag, listing_timeout_ms) != status_ok) return false;
  const int size = plc_tag_get_size(tag);
  if (size < 0) return false;
  reply.resize(static_cast<std::size_t>(size));
  for (int i = 0; i < size; ++i) reply[static_cast<std::size_t>(i)] = plc_tag_get_uint8(tag, i);
  return true;
}

std::uint16_t u16_at(const std::vector<std::uint8_t>& b, std::size_t at) {
  return static_cast<std::uint16_t>(b[at] | b[at + 1] << 8);
}

std::uint32_t u32_at(const std::vector<std::uint8_t>& b, std::size_t at) {
  return static_cast<std::uint32_t>(b[at]) | static_cast<std::uint32_t>(b[at + 1]) << 8 |
         static_cast<std::uint32_t>(b[at + 2]) << 16 | static_cast<std::uint32_t>(b[at + 3]) << 24;
}

void put_u32(std::vector<std::uint8_t>& b, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

// The number of tag instances the controller announces (class 0x6A).
bool omron_instance_count(std::int32_t raw, std::uint16_t& count) {
  static const std::vector<std::uint8_t> request = {0x01, 0x03, 0x20, 0x6A, 0x25, 0x00, 0x00, 0x00};
  std::vector<std::uint8_t> reply;
  if (!raw_request(raw, request, reply)) return false;
  if (reply.size() < 4) {
    std::fprintf(stderr, "Insufficient data returned in CIP response to get full CIP header!\n");
    return false;
  }
  if (reply[2] != 0) {
    std::fprintf(stderr, "CIP command failed on remote PLC with error code %x!\n", reply[2]);
    return false;
  }
  // The count is the 16-bit value at byte 6: the reply must reach past it.
  if (reply.size() < 8) {
    std::fprintf(stderr, "Insufficient data returned in CIP response to get all attribute values!\n");
    return false;
  }
  count = u16_at(reply, 6);
  return true;
}

// Every tag instance's name, page after page (service 0x5F on class 0x6A).
bool omron_instance_names(std::int32_t raw, std::uint16_t announced, std::vector<std::string>& names) {
  constexpr std::uint32_t page_size = 32;
  constexpr std::uint16_t user_tags = 2;
  constexpr std::size_t max_name = 47;
  std::uint32_t next = 1;
  std::vector<std::uint8_t> request;
  std::vector<std::uint8_t> reply;
  for (;;) {
    request = {0x5F, 0x03, 0x20, 0x6A, 0x25, 0x00, 0x00, 0x00};
    put_u32(request, next);
    put_u32(request, page_size);
    request.push_back(static_cast<std::uint8_t>(user_tags));
    request.push_back(static_cast<std::uint8_t>(user_tags >> 8));
    if (!raw_request(raw, request, reply)) return false;
    if (reply.size() >= 3 && reply[2] == 0x08) {
      std::fprintf(stderr, "PLC does not support the batch tag instance service!\n");
      return false;
    }
    if (reply.size() < 4) {
      std::fprintf(stderr, "Not enough data returned for a CIP response!\n");
      return false;
    }
    if (reply[2] != 0 && reply[2] != 0x06) {
      std::fprintf(stderr, "CIP command failed on remote PLC with error code %x!\n", reply[2]);
      return false;
    }
    if (reply.size() < 6) {
      std::fprintf(stderr, "Insufficient data returned in CIP response!\n");
      return false;
    }
    const std::uint16_t returned = u16_at(reply, 4);
    if (returned == 0) return true;
    std::size_t cursor = 8;
    std::uint32_t last = next;
    for (std::uint16_t e = 0; e < returned; ++e) {
      if (names.size() >= announced) {
        std::fprintf(stderr, "Attempting to overrun the tag instance array!\n");
        return false;
      }
      const std::uint32_t instance = cursor + 13 <= reply.size() ? u32_at(reply, cursor) : 0;
      if (cursor + 13 > reply.size() || cursor + 13 + reply[cursor + 12] > reply.size()) {
        std::fprintf(stderr, "Failed to process instance #%u.\n", static_cast<unsigned>(names.size()));
        return false;
      }
      const std::size_t entry_end = cursor + 6 + u16_at(reply, cursor + 4);
      const std::size_t name_length = reply[cursor + 12];
      std::string name(reinterpret_cast<const char*>(reply.data() + cursor + 13), std::min(name_length, max_name));
      std::size_t after = cursor + 13 + name_length;
      after += after & 1;  // padded to an even offset
      if (after != entry_end) {
        std::fprintf(stderr, "Check for cursor position failed!  Expected %d but got %d.\n", static_cast<int>(entry_end),
                     static_cast<int>(after));
        std::fprintf(stderr, "Failed to process instance #%u.\n", static_cast<unsigned>(names.size()));
        return false;
      }
      names.push_back(std::move(name));
      last = instance;
      cursor = after;
    }
    next = last + 1;
  }
}

// The size and CIP type of one named tag (Get_Attribute_All on its symbol).
bool omron_tag_attributes(std::int32_t raw, const std::string& name, std::uint32_t& size, std::uint8_t& cip_type) {
  std::vector<std::uint8_t> request = {0x01};
  const std::size_t pad = name.size() & 1;
  request.push_back(static_cast<std::uint8_t>((2 + name.size() + pad) / 2));
  request.push_back(0x91);
  request.push_back(static_cast<std::uint8_t>(name.size()));
  request.insert(request.end(), name.begin(), name.end());
  if (pad != 0) request.push_back(0);
  std::vector<std::uint8_t> reply;
  if (name.size() > 255 || !raw_request(raw, request, reply) || reply.size() < 11 || reply[2] != 0) return false;
  size = u32_at(reply, 4);
  cip_type = reply[8];
  return true;
}

}  // namespace

std::uint32_t value_type_of_cip(std::uint32_t cip_type) noexcept {
  switch (cip_type) {
    case 0xC1: return value_type::boolean;
    case 0xC2: return value_type::s8;
    case 0xC3: return value_type::s16;
    case 0xC4: return value_type::s32;
    case 0xC6: return value_type::u8;
    case 0xC7: return value_type::u16;
    case 0xC8: return value_type::u32;
    case 0xCA: return value_type::real;
    case 0xCB: return value_type::lreal;
    default: return 0;
  }
}

bool list_logix_tags(std::string_view type, std::string_view host, std::string_view path,
                     std::vector<listing_entry>& entries) {
  const std::string base = base_attributes(host, path, type) + "&name=";
  std::vector<symbol> symbols;
  if (!read_listing(base + "@tags", {}, nullptr,
                    "Unable to get tag list or no tags visible in the target PLC, error %s!\n", symbols))
    return false;
  // Each program's own tags, listed after the controller's.
  const std::size_t controller_symbols = symbols.size();
  for (std::size_t i = 0; i < controller_symbols; ++i) {
    if (!symbols[i].name.starts_with(program_prefix)) continue;
    const std::string program = symbols[i].name;
    read_listing(base + program + ".@tags", program, "Unable to create listing tag, error %s!\n",
                 "Unable to get program tag list or no tags visible in the target PLC, error %s!\n", symbols);
  }
  for (const symbol& s : symbols) {
    if (!listed(s)) continue;
    listing_entry e;
    e.name = s.parent.empty() ? s.name : s.parent + "." + s.name;
    e.path = tag_attributes(host, path, type, s.element_size, s.element_count, e.name);
    e.tag = static_cast<std::uint64_t>(value_type_of_cip(s.type & atomic_type_mask)) << tag_type_shift;
    entries.push_back(std::move(e));
  }
  return true;
}

bool list_omron_tags(std::string_view host, std::vector<listing_entry>& entries) {
  constexpr std::string_view omron_path = "1,0";
  const std::string attributes = base_attributes(host, omron_path, omron_njnx) + "&name=@raw";
  const libplctag_handle raw(plc_tag_create(attributes.c_str(), listing_timeout_ms));
  if (raw.id() < 0) {
    std::fprintf(stderr, "%s\n", plc_tag_decode_error(raw.id()));
    return false;
  }
  std::uint16_t announced = 0;
  if (!omron_instance_count(raw.id(), announced)) {
    std::fprintf(stderr, "%s: Could not run command Get_Attribute_All on class 6A!\n", plc_tag_decode_error(plc_tag_status(raw.id())));
    return false;
  }
  std::vector<std::string> names;
  if (!omron_instance_names(raw.id(), announced, names)) {
    std::fprintf(stderr, "%s: Could not run Omron get instances on class 6A!\n", plc_tag_decode_error(plc_tag_status(raw.id())));
    return false;
  }
  for (const std::string& name : names) {
    std::uint32_t size = 0;
    std::uint8_t cip_type = 0;
    if (!omron_tag_attributes(raw.id(), name, size, cip_type)) {
      std::fprintf(stderr, "Error getting \"%s\" attribute data!\n", name.c_str());
      continue;
    }
    const std::uint32_t vt = value_type_of_cip(cip_type);
    if (vt == 0) continue;
    listing_entry e;
    e.name = name;
    e.path = tag_attributes(host, omron_path, omron_njnx, size, 1, name);
    e.tag = static_cast<std::uint64_t>(vt) << tag_type_shift;
    entries.push_back(std::move(e));
  }
  return true;
}

}  // namespace kvt::plc::eip
