#include "melsec/melsec_sim_commands.hpp"

#include <vector>

namespace kvt::test::melsec_sim {

namespace {

using le::put_u16;
using le::put_u32;
using le::reader;

constexpr std::uint32_t max_batch_words = 960;
constexpr std::uint32_t max_batch_bits = 7168;
constexpr std::uint32_t max_random_read = 192;        // word + double word points (Q/L subcommand)
constexpr std::uint32_t max_random_read_ext = 96;     // the same with the iQ-R subcommand
constexpr std::uint32_t max_random_write = 1920;      // word points x 12 + double word points x 14
constexpr std::uint32_t max_random_write_ext = 960;
constexpr std::uint32_t max_random_bits = 188;
constexpr std::uint32_t max_random_bits_ext = 94;

outcome fail(std::uint16_t code) { return outcome{code, {}}; }

// Subcommand bits: 0x0001 bit units, 0x0002 the iQ-R device layout (4-byte
// device number, 2-byte device code).
bool bit_units(std::uint16_t sub) { return (sub & 0x0001) != 0; }
bool extended(std::uint16_t sub) { return (sub & 0x0002) != 0; }

struct device_ref {
  const device_info* dev = nullptr;
  std::uint32_t number = 0;
};

// Device number (3 bytes, or 4 with the iQ-R layout), then device code (1
// byte, or 2).
device_ref read_device(reader& r, bool ext) {
  device_ref ref;
  if (ext) {
    ref.number = r.u32();
  } else {
    ref.number = r.u16();
    ref.number |= static_cast<std::uint32_t>(r.u8()) << 16;
  }
  const std::uint16_t code = ext ? r.u16() : r.u8();
  ref.dev = find_device(code, ext);
  return ref;
}

std::size_t device_size(bool ext) { return ext ? 6 : 4; }

bool in_range(const device_ref& ref, std::uint64_t count) {
  return static_cast<std::uint64_t>(ref.number) + count <= ref.dev->points;
}

bool is_long_timer(const device_info& d) { return d.name == "LTN"; }

// Words a batch access in word units moves per point: a long timer's
// current value comes with its contact and coil (4 words), a long
// counter's is a double word (2 words).
std::uint32_t words_per_point(const device_info& d) {
  if (d.type != kind::dword) return 1;
  return is_long_timer(d) ? 4 : 2;
}

// --- batch read / write ----------------------------------------------------------

// Batch point counts: 1 to 7168 bits, or 1 to 960 words.
bool batch_points_fit(std::uint16_t sub, std::uint32_t points) {
  return points > 0 && points <= (bit_units(sub) ? max_batch_bits : max_batch_words);
}

std::uint16_t batch_points_error(std::uint16_t sub) {
  return bit_units(sub) ? end_code::batch_bit_points : end_code::batch_word_points;
}

outcome batch_read(device_memory& memory, std::uint16_t sub, const bytes& data) {
  const bool ext = extended(sub);
  const std::size_t fixed = device_size(ext) + 2;
  if (data.size() < fixed) return fail(end_code::bad_length);
  reader r(data);
  const device_ref ref = read_device(r, ext);
  const std::uint32_t points = r.u16();
  if (!batch_points_fit(sub, points)) return fail(batch_points_error(sub));
  if (ref.dev == nullptr) return fail(end_code::bad_device);
  const device_info& d = *ref.dev;
  if (bit_units(sub) && d.type != kind::bit) return fail(end_code::bit_units_on_word);
  if (data.size() != fixed) return fail(end_code::bad_length);
  outcome out;
  if (bit_units(sub)) {
    if (!in_range(ref, points)) return fail(end_code::device_range);
    // Two points a byte, the lower number in the upper four bits.
    for (std::uint32_t i = 0; i < points; i += 2) {
      std::uint8_t byte = memory.bit(d, ref.number + i) ? 0x10 : 0x00;
      if (i + 1 < points && memory.bit(d, ref.number + i + 1)) byte |= 0x01;
      out.data.push_back(byte);
    }
    return out;
  }
  if (static_cast<std::uint64_t>(points) * words_per_point(d) > max_batch_words) {
    return fail(end_code::batch_word_points);
  }
  if (!in_range(ref, static_cast<std::uint64_t>(points) * device_memory::span(d, 16))) {
    return fail(end_code::device_range);
  }
  for (std::uint32_t i = 0; i < points; ++i) {
    if (d.type == kind::bit) {
      put_u16(out.data, memory.unit16(d, ref.number + i * 16));
    } else if (d.type == kind::word) {
      put_u16(out.data, memory.word(d, ref.number + i));
    } else {
      const std::uint32_t n = ref.number + i;
      put_u32(out.data, memory.dword(d, n));
      if (is_long_timer(d)) {
        const std::uint32_t coil = memory.bit(*find_device("LTC"), n) ? 1 : 0;
        const std::uint32_t contact = memory.bit(*find_device("LTS"), n) ? 2 : 0;
        put_u16(out.data, coil | contact);
        put_u16(out.data, 0);  // used by the system
      }
    }
  }
  return out;
}

outcome batch_write(device_memory& memory, std::uint16_t sub, const bytes& data) {
  const bool ext = extended(sub);
  const std::size_t fixed = device_size(ext) + 2;
  if (data.size() < fixed) return fail(end_code::bad_length);
  reader r(data);
  const device_ref ref = read_device(r, ext);
  const std::uint32_t points = r.u16();
  if (!batch_points_fit(sub, points)) return fail(batch_points_error(sub));
  if (ref.dev == nullptr) return fail(end_code::bad_device);
  const device_info& d = *ref.dev;
  if (bit_units(sub)) {
    if (d.type != kind::bit) return fail(end_code::bit_units_on_word);
    if (data.size() != fixed + (points + 1) / 2) return fail(end_code::bad_length);
    if (!in_range(ref, points)) return fail(end_code::device_range);
    std::vector<bool> values;
    for (std::uint32_t i = 0; i < points; ++i) {
      const std::uint8_t byte = data[fixed + i / 2];
      const unsigned nibble = (i % 2 == 0) ? (byte >> 4) : (byte & 0x0F);
      if (nibble > 1) return fail(end_code::bad_bit_data);
      values.push_back(nibble == 1);
    }
    for (std::uint32_t i = 0; i < points; ++i) memory.set_bit(d, ref.number + i, values[i]);
    return {};
  }
  // A long timer's current value is not written by a batch write (random
  // write in double words sets it).
  if (is_long_timer(d)) return fail(end_code::bad_device);
  const std::uint64_t words = static_cast<std::uint64_t>(points) * words_per_point(d);
  if (words > max_batch_words) return fail(end_code::batch_word_points);
  if (data.size() != fixed + words * 2) return fail(end_code::bad_length);
  if (!in_range(ref, static_cast<std::uint64_t>(points) * device_memory::span(d, 16))) {
    return fail(end_code::device_range);
  }
  for (std::uint32_t i = 0; i < points; ++i) {
    if (d.type == kind::bit) {
      memory.set_unit16(d, ref.number + i * 16, r.u16());
    } else if (d.type == kind::word) {
      memory.set_word(d, ref.number + i, r.u16());
    } else {
      memory.set_dword(d, ref.number + i, r.u32());
    }
  }
  return {};
}

// --- random read / write ---------------------------------------------------------

// Checks a random access to one device in 16- or 32-point units; long
// values take double word access only.
std::uint16_t check_unit(const device_ref& ref, unsigned unit_bits) {
  if (ref.dev == nullptr) return end_code::bad_device;
  if (ref.dev->type == kind::dword && unit_bits != 32) return end_code::bad_device;
  if (!in_range(ref, device_memory::span(*ref.dev, unit_bits))) return end_code::device_range;
  return end_code::ok;
}

outcome random_read(device_memory& memory, std::uint16_t sub, const bytes& data) {
  if (bit_units(sub)) return fail(end_code::bad_command);  // there is no random read in bit units
  const bool ext = extended(sub);
  if (data.size() < 2) return fail(end_code::bad_length);
  reader r(data);
  const std::uint32_t words = r.u8();
  const std::uint32_t dwords = r.u8();
  const std::uint32_t limit = ext ? max_random_read_ext : max_random_read;
  if (words + dwords == 0 || words + dwords > limit) return fail(end_code::random_word_points);
  if (data.size() != 2 + (words + dwords) * device_size(ext)) return fail(end_code::bad_length);
  std::vector<std::pair<device_ref, unsigned>> items;
  for (std::uint32_t i = 0; i < words + dwords; ++i) {
    const device_ref ref = read_device(r, ext);
    const unsigned unit_bits = i < words ? 16 : 32;
    if (const std::uint16_t code = check_unit(ref, unit_bits); code != end_code::ok) return fail(code);
    items.emplace_back(ref, unit_bits);
  }
  outcome out;
  for (const auto& [ref, unit_bits] : items) {
    if (unit_bits == 16) {
      put_u16(out.data, memory.unit16(*ref.dev, ref.number));
    } else {
      put_u32(out.data, memory.unit32(*ref.dev, ref.number));
    }
  }
  return out;
}

outcome random_write_units(device_memory& memory, bool ext, const bytes& data) {
  if (data.size() < 2) return fail(end_code::bad_length);
  reader r(data);
  const std::uint32_t words = r.u8();
  const std::uint32_t dwords = r.u8();
  const std::uint32_t limit = ext ? max_random_write_ext : max_random_write;
  if (words + dwords == 0 || words * 12 + dwords * 14 > limit) return fail(end_code::random_word_points);
  if (data.size() != 2 + words * (device_size(ext) + 2) + dwords * (device_size(ext) + 4)) {
    return fail(end_code::bad_length);
  }
  struct item {
    device_ref ref;
    unsigned unit_bits;
    std::uint32_t value;
  };
  std::vector<item> items;
  for (std::uint32_t i = 0; i < words + dwords; ++i) {
    const device_ref ref = read_device(r, ext);
    const unsigned unit_bits = i < words ? 16 : 32;
    const std::uint32_t value = unit_bits == 16 ? r.u16() : r.u32();
    if (const std::uint16_t code = check_unit(ref, unit_bits); code != end_code::ok) return fail(code);
    items.push_back({ref, unit_bits, value});
  }
  for (const item& it : items) {
    if (it.unit_bits == 16) {
      memory.set_unit16(*it.ref.dev, it.ref.number, static_cast<std::uint16_t>(it.value));
    } else {
      memory.set_unit32(*it.ref.dev, it.ref.number, it.value);
    }
  }
  return {};
}

outcome random_write_bits(device_memory& memory, bool ext, const bytes& data) {
  if (data.empty()) return fail(end_code::bad_length);
  reader r(data);
  const std::uint32_t points = r.u8();
  if (points == 0 || points > (ext ? max_random_bits_ext : max_random_bits)) {
    return fail(end_code::random_bit_points);
  }
  // Set / reset: one byte (0x00 or 0x01), two with the iQ-R layout.
  const std::size_t value_size = ext ? 2 : 1;
  if (data.size() != 1 + points * (device_size(ext) + value_size)) return fail(end_code::bad_length);
  std::vector<std::pair<device_ref, bool>> items;
  for (std::uint32_t i = 0; i < points; ++i) {
    const device_ref ref = read_device(r, ext);
    const std::uint32_t value = ext ? r.u16() : r.u8();
    if (ref.dev == nullptr) return fail(end_code::bad_device);
    if (ref.dev->type != kind::bit) return fail(end_code::bit_units_on_word);
    if (!in_range(ref, 1)) return fail(end_code::device_range);
    if (value > 1) return fail(end_code::bad_bit_data);
    items.emplace_back(ref, value == 1);
  }
  for (const auto& [ref, on] : items) memory.set_bit(*ref.dev, ref.number, on);
  return {};
}

}  // namespace

outcome execute(device_memory& memory, std::uint16_t cmd, std::uint16_t sub, const bytes& data) {
  if (sub > 0x0003) return fail(end_code::bad_command);
  switch (cmd) {
    case command::batch_read:
      return batch_read(memory, sub, data);
    case command::batch_write:
      return batch_write(memory, sub, data);
    case command::random_read:
      return random_read(memory, sub, data);
    case command::random_write:
      return bit_units(sub) ? random_write_bits(memory, extended(sub), data)
                            : random_write_units(memory, extended(sub), data);
    default:
      return fail(end_code::bad_command);
  }
}

}  // namespace kvt::test::melsec_sim
