// Frames, addresses, areas and value layout against byte sequences written
// out by hand from the FINS command reference.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <vector>

#include "plc/fins/address.hpp"
#include "plc/fins/area_table.hpp"
#include "plc/fins/client.hpp"
#include "plc/fins/frame.hpp"
#include "plc/fins/tag.hpp"
#include "plc/fins/value_codec.hpp"

namespace kvt::plc::fins {
namespace {

using bytes = std::vector<std::uint8_t>;
namespace vt = kvt::plc::value_type;

TEST(FinsFrame, HeaderOfAControllerDataRead) {
  std::array<std::uint8_t, header_size> h{};
  write_header(h, {.dna = 0, .da1 = 10, .da2 = 0, .sna = 0, .sa1 = 1, .sa2 = 0}, 0x07, 0x05, 0x01);
  EXPECT_EQ(bytes(h.begin(), h.end()), (bytes{0x80, 0x00, 0x02, 0x00, 0x0A, 0x00, 0x00, 0x01, 0x00, 0x07, 0x05, 0x01}));
}

TEST(FinsFrame, MemoryAreaWriteOfOneDmWord) {
  std::array<std::uint8_t, 32> p{};
  const std::array<std::uint8_t, 2> data{0x12, 0x34};
  const std::size_t n = build_memory_write(p, {0x82, 100, 0}, 1, data);
  EXPECT_EQ(bytes(p.begin(), p.begin() + n), (bytes{0x82, 0x00, 0x64, 0x00, 0x00, 0x01, 0x12, 0x34}));
}

TEST(FinsFrame, MemoryAreaReadOfDmWordsUpToTheLargestAnswer) {
  std::array<std::uint8_t, 32> p{};
  const std::size_t n = build_memory_read(p, {0x82, 100, 0}, 998);
  EXPECT_EQ(bytes(p.begin(), p.begin() + n), (bytes{0x82, 0x00, 0x64, 0x00, 0x03, 0xE6}));
  EXPECT_EQ(max_range_words, 998u) << "header, end code and 998 words fill a 2010-byte answer";
}

TEST(FinsFrame, MemoryAreaWriteOfOneCioBit) {
  std::array<std::uint8_t, 32> p{};
  const std::array<std::uint8_t, 1> data{0x01};
  const std::size_t n = build_memory_write(p, {0x30, 10, 5}, 1, data);
  EXPECT_EQ(bytes(p.begin(), p.begin() + n), (bytes{0x30, 0x00, 0x0A, 0x05, 0x00, 0x01, 0x01}));
}

TEST(FinsFrame, MultipleReadElementsAndDecoding) {
  std::array<std::uint8_t, 64> p{};
  std::size_t n = append_read_elements(p, 0, {0x82, 100, 0}, read_kind::u32);
  n = append_read_elements(p, n, {0x30, 10, 5}, read_kind::bit);
  EXPECT_EQ(bytes(p.begin(), p.begin() + n),
            (bytes{0x82, 0x00, 0x64, 0x00, 0x82, 0x00, 0x65, 0x00, 0x30, 0x00, 0x0A, 0x05}));
  // Response data after the end code: two DM words, then the bit.
  const bytes data{0x82, 0x56, 0x78, 0x82, 0x12, 0x34, 0x30, 0x01};
  EXPECT_EQ(decode_read_item(data, 0, read_kind::u32), 0x12345678u);
  EXPECT_EQ(decode_read_item(data, 6, read_kind::bit), 1u);
  const bytes dbl{0x82, 0x00, 0x00, 0x82, 0x00, 0x00, 0x82, 0x00, 0x00, 0x82, 0x3F, 0xF0};  // 1.0
  EXPECT_EQ(decode_read_item(dbl, 0, read_kind::f64), 0x3FF0'0000'0000'0000u);
}

TEST(FinsFrame, ResponseChecks) {
  const std::array<std::uint8_t, header_size> req{0x80, 0x00, 0x02, 0x01, 0x0A, 0x00, 0x02, 0x01, 0x00, 0x09, 0x01, 0x02};
  const bytes ok{0xC0, 0x00, 0x02, 0x02, 0x01, 0x00, 0x01, 0x0A, 0x00, 0x09, 0x01, 0x02, 0x00, 0x00};
  EXPECT_EQ(check_response(req, ok), code::ok);
  bytes flags = ok;  // relay flag and controller error flags are dropped
  flags[12] = 0x81;
  flags[13] = 0xC3;
  EXPECT_EQ(check_response(req, flags), 0x0103);
  bytes sid = ok;
  sid[9] = 0x0A;
  EXPECT_EQ(check_response(req, sid), code::response_mismatch);
  bytes node = ok;
  node[7] = 0x0B;  // another node answers
  EXPECT_EQ(check_response(req, node), code::response_mismatch);
  bytes command = ok;
  command[0] = 0x80;
  EXPECT_EQ(check_response(req, command), code::response_mismatch);
  bytes gct = ok;
  gct[2] = 0x07;
  EXPECT_EQ(check_response(req, gct), code::ok) << "the gateway count is not compared";
  EXPECT_EQ(check_response(req, bytes(ok.begin(), ok.begin() + 13)), code::bad_response_length);
  EXPECT_EQ(check_response(req, bytes(ok.begin(), ok.begin() + 11)), code::bad_response_length);
}

TEST(FinsAddress, ParsesTheTextForms) {
  auto a = parse_address("DM100");
  ASSERT_TRUE(a);
  EXPECT_EQ(a->area_name(), "DM");
  EXPECT_EQ(a->word, 100u);
  a = parse_address(" cio 10.5");
  ASSERT_TRUE(a);
  EXPECT_EQ(a->area_name(), "CIO");
  EXPECT_EQ(a->word, 10u);
  EXPECT_EQ(a->bit, 5);
  a = parse_address("w3");
  ASSERT_TRUE(a);
  EXPECT_EQ(a->area_name(), "W");
  for (const char* bad : {"", "DM", "ABCD1", "DM1.16", "DM1.", "DM1x", "1", "DM 1 ", ".5"})
    EXPECT_FALSE(parse_address(bad)) << bad;
}

TEST(FinsAddress, DescriptorsFormatAsText) {
  char text[address_capacity];
  format_address(encode_tag(area_field::cio, 10, vt::boolean, 5), true, text);
  EXPECT_STREQ(text, "CIO10.5");
  format_address(encode_tag(area_field::cio_alias, 65535, vt::u16, 15), true, text);
  EXPECT_STREQ(text, "CIO65535.15");
  format_address(encode_tag(area_field::dm, 100, vt::u16), false, text);
  EXPECT_STREQ(text, "DM100");
  format_address(encode_tag(area_field::none, 1, vt::u16), false, text);
  EXPECT_FALSE(parse_address(text));
  format_address(encode_tag(7, 1, vt::u16), false, text);
  EXPECT_FALSE(parse_address(text));
}

TEST(FinsAreas, RowsPerFamilyAndService) {
  EXPECT_FALSE(resolve(family::cs_cj, access::bit, service::write, "A", 447, 0));
  EXPECT_EQ(resolve(family::cs_cj, access::bit, service::write, "A", 448, 3), (fins_address{0x33, 448, 3}));
  EXPECT_EQ(resolve(family::cs_cj, access::word, service::read, "A", 0, 3), (fins_address{0xB3, 0, 0}));
  EXPECT_FALSE(resolve(family::cs_cj, access::word, service::read, "W", 512, 0));
  EXPECT_EQ(resolve(family::cs_cj, access::word, service::write, "DM", 32767, 0), (fins_address{0x82, 32767, 0}));
  EXPECT_EQ(resolve(family::cv, access::word, service::read, "A", 10, 0), (fins_address{0x80, 2826, 0}));
  EXPECT_FALSE(resolve(family::cv, access::bit, service::write, "CIO", 10, 0));
  EXPECT_FALSE(resolve(family::cv, access::word, service::read, "W", 1, 0));
  EXPECT_FALSE(resolve(family::unknown, access::word, service::read, "DM", 1, 0));
  EXPECT_EQ(family_of_model("NX1P2"), family::cs_cj);
  EXPECT_EQ(family_of_model("CV1000"), family::cv);
  EXPECT_EQ(family_of_model("C200H"), family::unknown);
}

TEST(FinsPorts, OutOfRangePortsBecome9600) {
  EXPECT_EQ(effective_port(0), 9600);
  EXPECT_EQ(effective_port(80), 9600);
  EXPECT_EQ(effective_port(65535), 9600);
  EXPECT_EQ(effective_port(1024), 1024);
  EXPECT_EQ(effective_port(65534), 65534);
}

TEST(FinsValues, SlotsAndWords) {
  EXPECT_EQ(words_of_u32(0x12345678), (std::array<std::uint8_t, 4>{0x56, 0x78, 0x12, 0x34}));
  EXPECT_EQ(words_of_double(1.0), (std::array<std::uint8_t, 8>{0, 0, 0, 0, 0, 0, 0x3F, 0xF0}));
  std::int32_t slot = 0x11223344;
  store_read_value(vt::s8, 300, slot);
  EXPECT_EQ(slot, 0x1122337F) << "clamped, upper bytes kept";
  store_read_value(vt::s8, static_cast<std::uint16_t>(-300), slot);
  EXPECT_EQ(slot, 0x11223380);
  store_read_value(vt::boolean, 1, slot);
  EXPECT_EQ(slot, 0x11223301);
  store_read_value(vt::u16, 0xBEEF, slot);
  EXPECT_EQ(slot, 0x1122BEEF);
  store_read_value(0, 0xFFFF, slot);
  EXPECT_EQ(slot, 0x1122BEEF) << "an unknown type leaves the slot";
  store_read_value(vt::lreal, 0x3FF0'0000'0000'0000u, slot);
  EXPECT_EQ(slot, float_to_slot(1.0f));
  EXPECT_FALSE(read_kind_of(0));
  EXPECT_FALSE(read_kind_of(10));
  EXPECT_EQ(read_kind_of(vt::s8), read_kind::s16);
}

}  // namespace
}  // namespace kvt::plc::fins
