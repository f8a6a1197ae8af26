// Runs of consecutive words read with memory area reads, against the
// simulator: the output records are the same, to the byte, as with
// multiple memory area reads alone, the requests per cycle drop, and no
// word that no output names is ever read.
#include <gtest/gtest.h>

#include <bit>
#include <chrono>
#include <cstring>
#include <map>
#include <set>
#include <vector>

#include "fins/fins_simulator.hpp"
#include "plc/fins/driver.hpp"
#include "plc/fins/tag.hpp"
#include "support/driver_session.hpp"
#include "support/eventually.hpp"
#include "support/exchange_fixture.hpp"

namespace kvt::test {
namespace {

namespace fins = kvt::plc::fins;
namespace vt = kvt::plc::value_type;
namespace af = kvt::plc::fins::area_field;
using fins::encode_tag;
using sim = fins_simulator;

std::int32_t bits_of(float f) { return plc::float_to_slot(f); }

struct area_case {
  std::uint32_t field;  // of the tag
  sim::area area;       // of the simulator
};

// Words an output takes.
std::uint32_t words_of(std::uint32_t type) {
  switch (type) {
    case vt::u32:
    case vt::s32:
    case vt::real: return 2;
    case vt::lreal: return 4;
    default: return 1;
  }
}

// One block of 15 words with every value type: two outputs on one word
// (a bit and the word), two bits of one word, then 8-, 16-, 32- and 64-bit
// values.
void add_block(std::vector<std::uint64_t>& outputs, std::uint32_t field, std::uint32_t w, std::uint32_t k) {
  outputs.push_back(encode_tag(field, w, vt::boolean, k % 16));
  outputs.push_back(encode_tag(field, w, vt::u16));
  outputs.push_back(encode_tag(field, w + 1, vt::boolean, 0));
  outputs.push_back(encode_tag(field, w + 1, vt::boolean, 15));
  outputs.push_back(encode_tag(field, w + 2, vt::u8));
  outputs.push_back(encode_tag(field, w + 3, vt::s8));
  outputs.push_back(encode_tag(field, w + 4, vt::s16));
  outputs.push_back(encode_tag(field, w + 5, vt::u32));
  outputs.push_back(encode_tag(field, w + 7, vt::s32));
  outputs.push_back(encode_tag(field, w + 9, vt::real));
  outputs.push_back(encode_tag(field, w + 11, vt::lreal));
}
constexpr std::uint32_t block_words = 15;
constexpr std::uint32_t block_items = 11;

// Memory area reads the simulator received: area code, first word, count.
struct range_read {
  std::uint8_t code;
  std::uint32_t first;
  std::uint32_t count;
};

std::vector<range_read> range_reads(const fins_simulator& s) {
  std::vector<range_read> out;
  for (const auto& r : s.received())
    if (r.size() == 18 && r[10] == 0x01 && r[11] == 0x01)
      out.push_back({r[12], static_cast<std::uint32_t>(r[13] << 8 | r[14]), static_cast<std::uint32_t>(r[16] << 8 | r[17])});
  return out;
}

class FinsWordRuns : public ::testing::Test {
 protected:
  ::testing::AssertionResult connect_fins() {
    plc::connection_params p = connection(plc::protocol::fins, controller.port(), 0.002);
    p.local_node = 1;
    p.remote_node = 10;
    return session.connect(p);
  }
  std::size_t read_requests() const {
    return controller.requests(sim::memory_area_read) + controller.requests(sim::multiple_read);
  }

  fins_simulator controller;
  driver_session session{std::chrono::seconds(30)};
};

TEST_F(FinsWordRuns, OutputRecordsAreTheSameAsWithMultipleReadsOnly) {
  // Every word of every area holds something different.
  const area_case areas[] = {{af::cio, sim::cio}, {af::w, sim::w}, {af::h, sim::h}, {af::a, sim::a}, {af::dm, sim::dm}};
  const std::uint32_t sizes[] = {6144, 512, 512, 960, 32768};
  std::uint32_t x = 0x2545F491u;
  for (std::size_t i = 0; i < 5; ++i)
    for (std::uint32_t w = 0; w < sizes[i]; ++w) {
      x ^= x << 13;
      x ^= x >> 17;
      x ^= x << 5;
      controller.set_word(areas[i].area, static_cast<std::uint16_t>(w), static_cast<std::uint16_t>(x));
    }
  // Known values in the first DM block, to see the decoding itself.
  controller.set_word(sim::dm, 1000, 0x0020);  // bit 0 clear; the word
  controller.set_word(sim::dm, 1001, 0x8001);  // bits 0 and 15
  controller.set_word(sim::dm, 1002, 0x01FF);  // u8: 0xFF
  controller.set_word(sim::dm, 1003, 300);     // s8 clamps to 127
  controller.set_word(sim::dm, 1004, 0xFFFE);  // s16
  controller.set_word(sim::dm, 1005, 0x5678);  // u32 low word first
  controller.set_word(sim::dm, 1006, 0x1234);
  controller.set_word(sim::dm, 1007, 0xFFFD);  // s32 -3
  controller.set_word(sim::dm, 1008, 0xFFFF);
  const auto real = static_cast<std::uint32_t>(bits_of(3.5f));
  controller.set_word(sim::dm, 1009, static_cast<std::uint16_t>(real));
  controller.set_word(sim::dm, 1010, static_cast<std::uint16_t>(real >> 16));
  const auto lreal = std::bit_cast<std::uint64_t>(-2.75);
  for (std::uint16_t e = 0; e < 4; ++e)
    controller.set_word(sim::dm, static_cast<std::uint16_t>(1011 + e), static_cast<std::uint16_t>(lreal >> (16 * e)));

  // Long runs of blocks: 80 in DM (1,200 words, more than one read takes),
  // 20 in W, 10 in CIO, 4 in H and in A.
  std::vector<std::uint64_t> outputs;
  const struct {
    std::uint32_t field, first, blocks;
  } runs[] = {{af::dm, 1000, 80}, {af::w, 0, 20}, {af::cio, 100, 10}, {af::h, 0, 4}, {af::a, 0, 4}};
  for (const auto& r : runs)
    for (std::uint32_t b = 0; b < r.blocks; ++b) add_block(outputs, r.field, r.first + b * block_words, b);
  const std::size_t in_runs = outputs.size();
  // Outputs with gaps between them: 30 words, then one of every type.
  for (std::uint32_t i = 0; i < 30; ++i) outputs.push_back(encode_tag(af::dm, 5000 + 3 * i, vt::u16));
  for (std::uint32_t t = vt::boolean; t <= vt::lreal; ++t) outputs.push_back(encode_tag(af::dm, 6000 + 10 * t, t, 7));
  const std::size_t apart = outputs.size() - in_runs;
  // Types the driver does not carry: no element, the slot left alone.
  outputs.push_back(encode_tag(af::dm, 1000, 0));
  outputs.push_back(encode_tag(af::dm, 1001, 10));
  const std::size_t carried = in_runs + apart;
  ASSERT_EQ(in_runs, (80u + 20 + 10 + 4 + 4) * block_items);

  // Six memory area reads (two for DM) and multiple reads for the 39
  // outputs apart; before, multiple reads of 24 outputs for all.
  const double with_runs = 6 + (apart + 23) / 24;
  const double without = static_cast<double>((carried + 23) / 24);

  ASSERT_TRUE(connect_fins());
  auto& d = session.driver<fins::driver>();
  std::vector<std::int32_t> seen[2];
  double requests[2] = {};
  for (const bool word_runs : {true, false}) {
    SCOPED_TRACE(word_runs);
    d.disconnect();
    d.set_word_runs(word_runs);
    const std::size_t before = read_requests();
    ASSERT_TRUE(session.bind({}, outputs));
    ASSERT_TRUE(d.connect());
    ASSERT_TRUE(eventually([&] { return d.outputs().read_count.load() >= 3; }, std::chrono::seconds(20)));
    // Values the page never got are zero, as their shadows.
    ASSERT_TRUE(eventually([&] {
      session.outputs_seen();
      return session.view().size() > 1 && session.view()[1] == 0x20;
    })) << session.view().size();
    ASSERT_TRUE(wait_reads(d, 2));
    seen[word_runs ? 0 : 1] = session.outputs_seen();
    seen[word_runs ? 0 : 1].resize(outputs.size());
    d.disconnect();
    // Every cycle ends with its read, and each read is counted.
    requests[word_runs ? 0 : 1] =
        static_cast<double>(read_requests() - before) / d.outputs().read_count.load();
  }

  ASSERT_EQ(seen[0].size(), outputs.size());
  ASSERT_EQ(seen[1].size(), outputs.size());
  EXPECT_EQ(std::memcmp(seen[0].data(), seen[1].data(), seen[0].size() * sizeof(std::int32_t)), 0);
  for (std::size_t i = 0; i < outputs.size(); ++i) EXPECT_EQ(seen[0][i], seen[1][i]) << i;
  const std::vector<std::int32_t> first_block(seen[0].begin(), seen[0].begin() + block_items);
  EXPECT_EQ(first_block, (std::vector<std::int32_t>{0, 0x20, 1, 1, 0xFF, 127, 0xFFFE, 0x12345678, -3, bits_of(3.5f),
                                                    bits_of(-2.75f)}));
  EXPECT_EQ(seen[0][outputs.size() - 2], 0);
  EXPECT_EQ(seen[0][outputs.size() - 1], 0);
  EXPECT_EQ(requests[0], with_runs);
  EXPECT_EQ(requests[1], without);

  // Memory area reads stay within the answer's limit and read only words
  // that outputs name.
  std::map<std::uint8_t, std::set<std::uint32_t>> named;
  const std::map<std::uint32_t, std::uint8_t> word_code{
      {af::cio, 0xB0}, {af::w, 0xB1}, {af::h, 0xB2}, {af::a, 0xB3}, {af::dm, 0x82}};
  for (const std::uint64_t tag : outputs) {
    const fins::tag_fields f = fins::decode_tag(tag);
    for (std::uint32_t k = 0; k < words_of(f.type); ++k) named[word_code.at(f.area)].insert(f.word + k);
  }
  const auto reads = range_reads(controller);
  ASSERT_FALSE(reads.empty());
  for (const range_read& r : reads) {
    EXPECT_LE(r.count, 998u);
    for (std::uint32_t w = r.first; w < r.first + r.count; ++w)
      EXPECT_TRUE(named[r.code].count(w) == 1) << "word " << w << " of area " << int{r.code};
  }
}

TEST_F(FinsWordRuns, AFewOutputsStayInOneMultipleRead) {
  // Two runs of three words and one word apart: one multiple read takes
  // them all, where memory area reads would take three.
  for (std::uint16_t w = 0; w < 3; ++w) {
    controller.set_word(sim::dm, static_cast<std::uint16_t>(10 + w), static_cast<std::uint16_t>(w + 1));
    controller.set_word(sim::w, w, static_cast<std::uint16_t>(w + 4));
  }
  controller.set_word(sim::dm, 20, 7);
  ASSERT_TRUE(connect_fins());
  ASSERT_TRUE(session.bind({}, {encode_tag(af::dm, 10, vt::u16), encode_tag(af::dm, 11, vt::u16),
                                encode_tag(af::dm, 12, vt::u16), encode_tag(af::w, 0, vt::u16),
                                encode_tag(af::w, 1, vt::u16), encode_tag(af::w, 2, vt::u16),
                                encode_tag(af::dm, 20, vt::u16)}));
  EXPECT_TRUE(session.eventually_seen({1, 2, 3, 4, 5, 6, 7}));
  EXPECT_EQ(controller.requests(sim::memory_area_read), 0u);
}

}  // namespace
}  // namespace kvt::test
