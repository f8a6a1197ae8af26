// S7 tag descriptors, item addresses, byte order and the split into
// requests, without a controller.
#include <gtest/gtest.h>

#include <snap7.h>

#include <vector>

#include "plc/s7/batching.hpp"
#include "plc/s7/item_list.hpp"
#include "plc/s7/tag.hpp"
#include "plc/s7/value_codec.hpp"

namespace kvt::test {
namespace {

namespace s7 = kvt::plc::s7;
namespace vt = kvt::plc::value_type;

TEST(S7Items, ABoolInDataBlock5IsABitItemAtItsBitAddress) {
  const auto a = s7::item_address_of(s7::encode_tag(s7::area::data_block, 10, vt::boolean, 3, 5));
  ASSERT_TRUE(a);
  EXPECT_EQ(a->area, 0x84);
  EXPECT_EQ(a->area, S7AreaDB);
  EXPECT_EQ(a->db_number, 5);
  EXPECT_EQ(a->word_len, S7WLBit);
  EXPECT_EQ(a->start, 83);
}

TEST(S7Items, AreasAndWordLengths) {
  const auto at = [](std::uint32_t area, std::uint32_t type, std::uint32_t db = 0) {
    return *s7::item_address_of(s7::encode_tag(area, 12, type, 0, db));
  };
  EXPECT_EQ(at(s7::area::inputs, vt::u8), (s7::item_address{S7AreaPE, 0, S7WLByte, 12}));
  EXPECT_EQ(at(s7::area::outputs, vt::s8), (s7::item_address{S7AreaPA, 0, S7WLByte, 12}));
  EXPECT_EQ(at(s7::area::markers, vt::u16), (s7::item_address{S7AreaMK, 0, S7WLWord, 12}));
  EXPECT_EQ(at(s7::area::data_block, vt::s16, 63), (s7::item_address{S7AreaDB, 63, S7WLWord, 12}));
  EXPECT_EQ(at(s7::area::data_block, vt::u32, 2), (s7::item_address{S7AreaDB, 2, S7WLDWord, 12}));
  EXPECT_EQ(at(s7::area::data_block, vt::s32, 2), (s7::item_address{S7AreaDB, 2, S7WLDWord, 12}));
  EXPECT_EQ(at(s7::area::data_block, vt::real, 2), (s7::item_address{S7AreaDB, 2, S7WLReal, 12}));
  // V memory is data block 1 whatever the DB number field holds.
  EXPECT_EQ(at(s7::area::v_memory, vt::u16, 17), (s7::item_address{S7AreaDB, 1, S7WLWord, 12}));
}

TEST(S7Items, RealsAreWrittenAsDoubleWords) {
  const auto real = *s7::item_address_of(s7::encode_tag(s7::area::data_block, 8, vt::real, 0, 3));
  EXPECT_EQ(s7::write_item_of(real), (s7::item_address{S7AreaDB, 3, S7WLDWord, 8}));
  const auto word = *s7::item_address_of(s7::encode_tag(s7::area::data_block, 8, vt::u16, 0, 3));
  EXPECT_EQ(s7::write_item_of(word), word);
}

TEST(S7Items, SignalsThatCannotBeExchangedGetNoItem) {
  EXPECT_FALSE(s7::item_address_of(s7::encode_tag(s7::area::data_block, 0, vt::lreal, 0, 1)));
  EXPECT_FALSE(s7::item_address_of(s7::encode_tag(s7::area::data_block, 0, 0, 0, 1)));
  EXPECT_FALSE(s7::item_address_of(s7::encode_tag(s7::area::data_block, 0, 12, 0, 1)));
  EXPECT_FALSE(s7::item_address_of(s7::encode_tag(0, 0, vt::u8)));
  EXPECT_FALSE(s7::item_address_of(s7::encode_tag(6, 0, vt::u8)));
  EXPECT_FALSE(s7::item_address_of(s7::encode_tag(7, 0, vt::u8)));
}

TEST(S7Items, ValuesTravelBigEndian) {
  EXPECT_EQ(s7::to_controller(vt::s16, 0x1234), (s7::item_bytes{0x12, 0x34, 0, 0}));
  EXPECT_EQ(s7::to_controller(vt::u32, 0x0A0B0C0D), (s7::item_bytes{0x0A, 0x0B, 0x0C, 0x0D}));
  EXPECT_EQ(s7::to_controller(vt::u8, 0x1FF), (s7::item_bytes{0xFF, 0, 0, 0}));
  EXPECT_EQ(s7::to_controller(vt::boolean, 2), (s7::item_bytes{1, 0, 0, 0}));
  EXPECT_EQ(s7::to_controller(vt::boolean, 0x100), (s7::item_bytes{0, 0, 0, 0}));
  EXPECT_EQ(s7::from_controller(vt::s16, {0xFF, 0xFE, 0, 0}), 0xFFFE);
  EXPECT_EQ(s7::from_controller(vt::real, {0x3F, 0x80, 0, 0}), 0x3F800000);
  EXPECT_EQ(s7::from_controller(vt::boolean, {0x40, 0, 0, 0}), 1);
}

std::vector<TS7DataItem> items_of(std::size_t n, int len) {
  std::vector<TS7DataItem> items(n);
  for (auto& i : items) {
    i.WordLen = len;
    i.Amount = 1;
  }
  return items;
}

std::vector<std::size_t> runs(const std::vector<TS7DataItem>& items, int pdu, s7::request_kind kind) {
  std::vector<std::size_t> out;
  std::span<const TS7DataItem> rest(items);
  while (!rest.empty()) {
    const std::size_t k = s7::next_run(rest, pdu, kind);
    if (k == 0) break;
    out.push_back(k);
    rest = rest.subspan(k);
  }
  return out;
}

TEST(S7Items, RequestsFollowThePduLengthAndTheItemLimit) {
  const auto reals = items_of(30, S7WLReal);
  EXPECT_EQ(runs(reals, 240, s7::request_kind::read), (std::vector<std::size_t>{14, 14, 2}));
  EXPECT_EQ(runs(reals, 240, s7::request_kind::write), (std::vector<std::size_t>{11, 11, 8}));
  EXPECT_EQ(runs(reals, 960, s7::request_kind::read), (std::vector<std::size_t>{20, 10}));
  // One-byte items carry a fill byte each in a write telegram.
  EXPECT_EQ(runs(items_of(20, S7WLBit), 240, s7::request_kind::write), (std::vector<std::size_t>{12, 8}));
  EXPECT_EQ(runs(items_of(3, S7WLReal), 20, s7::request_kind::read), (std::vector<std::size_t>{}));
}

TEST(S7Items, ItemsPointAtTheirOwnDataPastTheReservedSize) {
  s7::item_list list;
  const std::size_t n = s7::item_list::reserved_items + 500;
  for (std::size_t i = 0; i < n; ++i) {
    const int amount = 1 + static_cast<int>(i % 5);
    const auto first = static_cast<std::uint32_t>(i);
    const std::size_t j = list.append({S7AreaDB, 1, S7WLByte, static_cast<int>(i)}, amount, first, 1, false);
    ASSERT_EQ(list.data(j).size(), static_cast<std::size_t>(amount));
    list.data(j)[0] = static_cast<std::uint8_t>(i);
  }
  list.attach_data();
  for (std::size_t i = 0; i < n; ++i) {
    ASSERT_EQ(list.items()[i].pdata, list.data(i).data());
    ASSERT_EQ(*static_cast<const std::uint8_t*>(list.items()[i].pdata), static_cast<std::uint8_t>(i));
  }
}

TEST(S7Items, AByteItemCountsItsWholeLengthOnceAndOneFillByteInWrites) {
  std::vector<TS7DataItem> items(3);
  for (auto& i : items) {
    i.WordLen = S7WLByte;
    i.Amount = 61;
  }
  // Read: 3 × 61 = 183 <= 240 − 48; write: 3 × 62 = 186 > 240 − 60, 2 × 62 <= 240 − 44.
  EXPECT_EQ(runs(items, 240, s7::request_kind::read), (std::vector<std::size_t>{3}));
  EXPECT_EQ(runs(items, 240, s7::request_kind::write), (std::vector<std::size_t>{2, 1}));
}

}  // namespace
}  // namespace kvt::test
