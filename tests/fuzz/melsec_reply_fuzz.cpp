// Fuzz target: MC protocol 3E responses as the MELSEC component decodes
// them. The input's first bytes pick one of a few device lists (its read
// requests are planned as the component plans them) and point counts for
// the data decoders; the rest is taken as one whole response frame.
// Checked:
// - nothing is read beyond the input (AddressSanitizer);
// - the frame decodes as ok exactly when it has the 9-byte header and an
//   end code, subheader D0 00, a response data length equal to the bytes
//   after the header, and end code 0; the data is then the bytes after the
//   end code, inside the input; a non-zero end code is reported as such;
// - the header check agrees with the frame decoder on the length;
// - each data decoder accepts exactly the data of the size its points ask
//   for (bits: and nibbles of 0/1 with a zero padding nibble), and gives
//   the little-endian values of the data;
// - a planned read step takes the data exactly when its size is the one
//   the step's points ask for, and then stores the value each entry's
//   word, double word or bit holds.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "plc/melsec/mc/devices.hpp"
#include "plc/melsec/mc/frames.hpp"
#include "plc/melsec/mc/plan.hpp"
#include "support/check.hpp"
#include "support/input_reader.hpp"

namespace {

namespace mc = kvt::plc::melsec::mc;

std::uint32_t le(std::span<const std::uint8_t> b, std::size_t at, std::size_t n) {
  std::uint32_t v = 0;
  for (std::size_t i = 0; i < n; ++i) v |= std::uint32_t{b[at + i]} << (8 * i);
  return v;
}

bool inside(std::span<const std::uint8_t> part, std::span<const std::uint8_t> whole) {
  return part.empty() || (part.data() >= whole.data() && part.data() + part.size() <= whole.data() + whole.size());
}

void check_frame(std::span<const std::uint8_t> frame) {
  const mc::reply r = mc::decode_reply(frame);
  const bool framed = frame.size() >= 11 && frame[0] == 0xD0 && frame[1] == 0x00 && le(frame, 7, 2) == frame.size() - 9;
  const bool ok = framed && le(frame, 9, 2) == 0;
  KVT_FUZZ_CHECK((r.status == mc::reply_status::ok) == ok, "a %zu-byte frame decoded with status %d", frame.size(),
                 static_cast<int>(r.status));
  KVT_FUZZ_CHECK((r.status == mc::reply_status::end_code) == (framed && !ok), "end code status %d",
                 static_cast<int>(r.status));
  if (r.status == mc::reply_status::end_code)
    KVT_FUZZ_CHECK(r.end_code == le(frame, 9, 2), "end code 0x%04X", r.end_code);
  if (ok) {
    KVT_FUZZ_CHECK(r.data.size() == frame.size() - 11 && inside(r.data, frame) &&
                       (r.data.empty() || r.data.data() == frame.data() + 11),
                   "data of %zu bytes", r.data.size());
  } else {
    KVT_FUZZ_CHECK(r.data.empty(), "data given with status %d", static_cast<int>(r.status));
  }
  const auto length = mc::response_data_length(frame.first(frame.size() < 9 ? frame.size() : 9));
  if (framed && frame.size() - 9 <= mc::max_response_data)
    KVT_FUZZ_CHECK(length && *length == frame.size() - 9, "header length disagrees with the frame");
  if (length) KVT_FUZZ_CHECK(*length >= 2 && *length <= mc::max_response_data, "header length %zu", *length);
}

void check_decoders(std::span<const std::uint8_t> data, std::size_t words, std::size_t dwords, std::size_t bits) {
  std::vector<std::uint16_t> w(words);
  std::vector<std::uint32_t> d(dwords);
  const bool random_ok = mc::decode_random_read(data, w, d);
  KVT_FUZZ_CHECK(random_ok == (data.size() == 2 * words + 4 * dwords), "random read data of %zu bytes for %zu+%zu",
                 data.size(), words, dwords);
  if (random_ok) {
    for (std::size_t i = 0; i < words; ++i) KVT_FUZZ_CHECK(w[i] == le(data, 2 * i, 2), "word %zu", i);
    for (std::size_t i = 0; i < dwords; ++i)
      KVT_FUZZ_CHECK(d[i] == le(data, 2 * words + 4 * i, 4), "double word %zu", i);
  }
  KVT_FUZZ_CHECK(mc::decode_words(data, w) == (data.size() == 2 * words), "word data of %zu bytes", data.size());

  std::vector<std::uint8_t> b(bits, 9);
  bool valid = data.size() == (bits + 1) / 2;
  for (std::size_t i = 0; valid && i < data.size(); ++i) {
    valid = (data[i] >> 4) <= 1 && (data[i] & 0xF) <= 1 && (2 * i + 1 < bits || (data[i] & 0xF) == 0);
  }
  const bool bits_ok = mc::decode_bits(data, b);
  KVT_FUZZ_CHECK(bits_ok == valid, "bit data of %zu bytes for %zu bits taken: %d", data.size(), bits, bits_ok);
  if (bits_ok) {
    for (std::size_t i = 0; i < bits; ++i) {
      const std::uint8_t nibble = i % 2 == 0 ? data[i / 2] >> 4 : data[i / 2] & 0xF;
      KVT_FUZZ_CHECK(b[i] == nibble, "bit %zu", i);
    }
  }
}

const char* const lists[] = {
    "D100\nM5\nX1F\nM7\n",
    "LTN1\nLCN2\nLTN1\n",
    "LTS1\nLTS2\nLTS3\n",
    "W1A0\nSB3\nSW10\nSM400\nTN4\nCS9\n",
};

void check_step(std::span<const std::uint8_t> data, std::size_t list) {
  std::vector<mc::device_ref> entries;
  std::string error;
  std::int32_t count = 0;
  for (const char* p = lists[list]; *p != 0; ++p) count += *p == '\n';
  KVT_FUZZ_CHECK(mc::parse_device_list(lists[list], count, entries, error), "list %zu: %s", list, error.c_str());
  const auto steps = mc::plan_read(entries);
  KVT_FUZZ_CHECK(!steps.empty(), "no step for list %zu", list);
  const mc::read_step& step = steps.front();
  const std::size_t expected = step.shape == mc::read_shape::bits ? (step.bits + 1) / 2
                                                                   : 2 * step.words + 4 * step.dwords;
  std::vector<std::int16_t> values(entries.size(), 0x5A5A);
  const bool taken = mc::apply_read(step, data, values);
  if (data.size() != expected) {
    KVT_FUZZ_CHECK(!taken, "step of list %zu took %zu bytes, it needs %zu", list, data.size(), expected);
    return;
  }
  if (step.shape != mc::read_shape::bits) {
    KVT_FUZZ_CHECK(taken, "step of list %zu refused %zu bytes", list, data.size());
  }
  if (!taken) return;
  for (const mc::read_target& t : step.targets) {
    std::uint32_t slot = 0;
    if (step.shape == mc::read_shape::bits)
      slot = t.slot % 2 == 0 ? data[t.slot / 2] >> 4 : data[t.slot / 2] & 0xF;
    else if (t.slot < step.words)
      slot = le(data, 2 * t.slot, 2);
    else
      slot = le(data, 2 * step.words + 4 * (t.slot - step.words), 4);
    const std::uint32_t want = t.bit < 0 ? (slot & 0xFFFF) : ((slot >> t.bit) & 1);
    KVT_FUZZ_CHECK(static_cast<std::uint16_t>(values[t.entry]) == want, "entry %zu read 0x%04X, the data holds 0x%04X",
                   t.entry, static_cast<unsigned>(static_cast<std::uint16_t>(values[t.entry])), want);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  kvt::fuzz::input_reader in(bytes, size);
  const std::size_t list = in.pick<std::size_t>(0, std::size(lists) - 1);
  const std::size_t words = in.pick<std::size_t>(0, 200);
  const std::size_t dwords = in.pick<std::size_t>(0, 100);
  const std::size_t bits = in.pick<std::size_t>(0, 255);
  const std::size_t used = size - in.remaining();
  const std::span<const std::uint8_t> frame(bytes + used, size - used);
  check_frame(frame);
  const mc::reply r = mc::decode_reply(frame);
  // The data to feed the decoders: the reply's when it decodes, else the
  // bytes after where the end code would be.
  const std::span<const std::uint8_t> data = r.status == mc::reply_status::ok ? r.data
                                             : frame.size() > 11               ? frame.subspan(11)
                                                                               : std::span<const std::uint8_t>{};
  check_decoders(data, words, dwords, bits);
  check_step(data, list);
  return 0;
}
