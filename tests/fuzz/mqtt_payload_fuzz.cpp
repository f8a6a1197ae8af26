// Fuzz target: MQTT payloads as the driver decodes them into value slots,
// and the payloads it publishes. Input: value type, payload format, the
// slot's previous bits, then the payload. Checked:
// - decoding never reads beyond the payload (AddressSanitizer) and changes
//   only the value type's bytes of the slot (a BOOL holds 0 or 1); an
//   unknown type leaves the slot alone; an empty payload or the empty
//   format gives 0;
// - a binary payload gives its first bytes in the format's byte order;
// - every value published in a format decodes back to the same value.
#include <bit>
#include <cmath>
#include <cstdint>
#include <string>

#include "plc/mqtt/payload.hpp"
#include "plc/mqtt/tag.hpp"
#include "support/check.hpp"
#include "support/input_reader.hpp"

namespace {

namespace mq = kvt::plc::mqtt;
namespace vt = kvt::plc::value_type;

std::size_t width(std::uint32_t type) {
  switch (type) {
    case vt::boolean:
    case vt::u8:
    case vt::s8: return 1;
    case vt::u16:
    case vt::s16: return 2;
    case vt::lreal: return 8;
    default: return 4;
  }
}

std::uint32_t value_mask(std::uint32_t type) {
  const std::size_t w = width(type);
  return w == 1 ? 0xFFu : w == 2 ? 0xFFFFu : 0xFFFF'FFFFu;
}

// Two slots hold the same value of `type`: the same value bytes, or, for
// floats, both NaN.
bool same_value(std::int32_t a, std::int32_t b, std::uint32_t type) {
  const auto ua = static_cast<std::uint32_t>(a) & value_mask(type);
  const auto ub = static_cast<std::uint32_t>(b) & value_mask(type);
  if ((type == vt::real || type == vt::lreal) && std::isnan(std::bit_cast<float>(ua)))
    return std::isnan(std::bit_cast<float>(ub));
  return ua == ub;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  kvt::fuzz::input_reader in(bytes, size);
  const auto type = in.pick<std::uint32_t>(0, 10);
  const auto format = static_cast<mq::payload_format>(in.pick<int>(0, 3));
  const auto slot = static_cast<std::int32_t>(in.word());
  const std::string payload = in.rest();

  const std::int32_t decoded = mq::decode_payload(payload, type, format, slot);
  if (!mq::supported_type(type)) {
    KVT_FUZZ_CHECK(decoded == slot, "an unknown type %u changed the slot", type);
    std::string out = "kept";
    KVT_FUZZ_CHECK(!mq::append_payload(out, type, format, slot) && out == "kept",
                   "a payload was made for the unknown type %u", type);
    return 0;
  }
  const std::uint32_t mask = value_mask(type);
  const auto bits = static_cast<std::uint32_t>(decoded);
  KVT_FUZZ_CHECK((bits & ~mask) == (static_cast<std::uint32_t>(slot) & ~mask),
                 "decoding type %u changed bytes outside the value: 0x%08X from 0x%08X", type, bits,
                 static_cast<std::uint32_t>(slot));
  if (type == vt::boolean) KVT_FUZZ_CHECK((bits & 0xFF) <= 1, "a BOOL decoded as %u", bits & 0xFF);
  if (payload.empty() || format == mq::payload_format::empty)
    KVT_FUZZ_CHECK((bits & mask) == 0, "no payload decoded as 0x%08X", bits & mask);

  const bool binary = format == mq::payload_format::big_endian || format == mq::payload_format::little_endian;
  if (binary && type != vt::boolean && type != vt::lreal) {
    std::uint32_t expected = 0;
    if (payload.size() >= width(type))
      for (std::size_t i = 0; i < width(type); ++i) {
        const std::size_t at = format == mq::payload_format::big_endian ? i : width(type) - 1 - i;
        expected = expected << 8 | static_cast<unsigned char>(payload[at]);
      }
    KVT_FUZZ_CHECK((bits & mask) == expected, "a %zu-byte payload of type %u decoded as 0x%08X, not 0x%08X",
                   payload.size(), type, bits & mask, expected);
  }

  // Publishing the slot and reading it back.
  std::string published;
  KVT_FUZZ_CHECK(mq::append_payload(published, type, format, slot), "type %u was not published", type);
  if (format == mq::payload_format::empty) {
    KVT_FUZZ_CHECK(published.empty(), "the empty format published %zu bytes", published.size());
    return 0;
  }
  std::int32_t original = slot;
  if (type == vt::boolean) original = (static_cast<std::uint32_t>(slot) & 0xFF) != 0 ? 1 : 0;
  const std::int32_t back = mq::decode_payload(published, type, format, 0);
  KVT_FUZZ_CHECK(same_value(back, original, type), "type %u format %u: 0x%08X published as \"%s\" reads back as 0x%08X",
                 type, static_cast<unsigned>(format), static_cast<std::uint32_t>(slot),
                 binary ? "(binary)" : published.c_str(), static_cast<std::uint32_t>(back));
  return 0;
}
