// Which items the S7 driver reads and writes, without a controller: signals
// whose bytes touch share one byte item, cut only between values; BOOLs of
// one byte share the byte when read and stay bit writes; joining off gives
// one item per signal, in order.
#include <gtest/gtest.h>

#include <snap7.h>

#include <cstdint>
#include <ostream>
#include <span>
#include <vector>

#include "plc/s7/batching.hpp"
#include "plc/s7/read_plan.hpp"
#include "plc/s7/tag.hpp"
#include "plc/s7/write_plan.hpp"

namespace kvt::test {
namespace {

namespace s7 = kvt::plc::s7;
namespace vt = kvt::plc::value_type;
using s7::encode_tag;

struct item {
  int word_len;
  int start;
  int amount;
  bool operator==(const item&) const = default;
};

void PrintTo(const item& i, std::ostream* os) {
  *os << '{' << i.word_len << ", " << i.start << ", " << i.amount << '}';
}

std::vector<item> items_of(const s7::item_list& list) {
  std::vector<item> out;
  for (const TS7DataItem& i : list.items()) out.push_back({i.WordLen, i.Start, i.Amount});
  return out;
}

std::size_t requests_of(s7::item_list& list, int pdu, s7::request_kind kind) {
  std::span<const TS7DataItem> rest = std::as_const(list).items();
  std::size_t n = 0;
  while (!rest.empty()) {
    const std::size_t k = s7::next_run(rest, pdu, kind);
    if (k == 0) return 0;
    rest = rest.subspan(k);
    ++n;
  }
  return n;
}

s7::plan_key key(int pdu, bool join) { return {1, 1, pdu, join}; }

TEST(S7Plan, ThousandContiguousRealsAreReadInNineRequestsCutBetweenValues) {
  std::vector<std::uint64_t> tags;
  for (std::uint32_t i = 0; i < 1000; ++i) tags.push_back(encode_tag(s7::area::data_block, i * 4, vt::real, 0, 1));
  s7::read_plan plan;
  plan.build(tags, key(480, true));
  int next = 0;
  for (const item& i : items_of(plan.list())) {
    EXPECT_EQ(i.word_len, S7WLByte);
    EXPECT_EQ(i.start, next);
    EXPECT_EQ(i.amount % 4, 0) << "a value cut in two";
    next += i.amount;
  }
  EXPECT_EQ(next, 4000);
  EXPECT_EQ(requests_of(plan.list(), 480, s7::request_kind::read), 9u);  // 456 bytes each

  plan.build(tags, key(480, false));
  EXPECT_EQ(plan.list().size(), 1000u);
  EXPECT_EQ(requests_of(plan.list(), 480, s7::request_kind::read), 50u);
}

TEST(S7Plan, BitsOfOneByteShareTheByteWhenReadALoneSignalKeepsItsItem) {
  const std::vector<std::uint64_t> tags{
      encode_tag(s7::area::data_block, 10, vt::boolean, 5, 5), encode_tag(s7::area::data_block, 12, vt::boolean, 1, 5),
      encode_tag(s7::area::data_block, 10, vt::boolean, 3, 5), encode_tag(s7::area::data_block, 20, vt::real, 0, 5),
      encode_tag(s7::area::data_block, 11, vt::u8, 0, 9)};
  s7::read_plan plan;
  plan.build(tags, key(240, true));
  // In the order of their bytes: the shared byte, the lone bit at its bit
  // address, the REAL, and the byte of another data block.
  EXPECT_EQ(items_of(plan.list()),
            (std::vector<item>{{S7WLByte, 10, 1}, {S7WLBit, 97, 1}, {S7WLReal, 20, 1}, {S7WLByte, 11, 1}}));

  plan.build(tags, key(240, false));
  EXPECT_EQ(items_of(plan.list()), (std::vector<item>{{S7WLBit, 85, 1},
                                                      {S7WLBit, 97, 1},
                                                      {S7WLBit, 83, 1},
                                                      {S7WLReal, 20, 1},
                                                      {S7WLByte, 11, 1}}));
}

TEST(S7Plan, OnlyChangedInputsNextToEachOtherAreWrittenTogether) {
  const std::vector<std::uint64_t> tags{
      encode_tag(s7::area::data_block, 0, vt::u16, 0, 9),      encode_tag(s7::area::data_block, 2, vt::u16, 0, 9),
      encode_tag(s7::area::data_block, 4, vt::u16, 0, 9),      encode_tag(s7::area::data_block, 6, vt::real, 0, 9),
      encode_tag(s7::area::data_block, 20, vt::boolean, 0, 9), encode_tag(s7::area::data_block, 20, vt::boolean, 1, 9),
      encode_tag(s7::area::data_block, 21, vt::u8, 0, 9),      encode_tag(s7::area::data_block, 22, vt::u8, 0, 9),
      encode_tag(s7::area::data_block, 20, vt::u8, 0, 9)};
  s7::write_plan plan;
  plan.build(tags, key(240, true));
  for (const std::uint32_t i : {0u, 1u, 3u, 4u, 5u, 6u, 7u, 8u})
    plan.take(i, {static_cast<std::uint8_t>(i + 1), 0xAA, 0xBB, 0xCC});
  s7::item_list& list = plan.make_items(240);
  // The bits, and the bytes that run through a bit's byte, alone in their
  // order; then inputs 0 and 1 together, and 3 alone (a REAL goes as a
  // double word): 2 did not change.
  EXPECT_EQ(items_of(list), (std::vector<item>{{S7WLBit, 160, 1},
                                               {S7WLBit, 161, 1},
                                               {S7WLByte, 21, 1},
                                               {S7WLByte, 22, 1},
                                               {S7WLByte, 20, 1},
                                               {S7WLByte, 0, 4},
                                               {S7WLDWord, 6, 1}}));
  const std::span<const std::uint8_t> joined = list.data(5);
  EXPECT_EQ(std::vector<std::uint8_t>(joined.begin(), joined.end()), (std::vector<std::uint8_t>{1, 0xAA, 2, 0xAA}));
  EXPECT_EQ(std::vector<std::uint32_t>(plan.signals_of(5).begin(), plan.signals_of(5).end()),
            (std::vector<std::uint32_t>{0, 1}));
  EXPECT_TRUE(plan.make_items(240).empty()) << "taken once";
}

}  // namespace
}  // namespace kvt::test
