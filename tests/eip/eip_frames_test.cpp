// Frames, paths and attribute strings of the EtherNet/IP tag layer against
// byte sequences written out from the Logix data access reference and the
// ODVA encapsulation and Connection Manager descriptions, and against
// malformed replies.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "plc/eip/tags/attributes.hpp"
#include "plc/eip/tags/frames.hpp"
#include "plc/eip/tags/plc_tag.hpp"
#include "plc/eip/tags/status.hpp"
#include "plc/eip/tags/tag_path.hpp"

namespace kvt::plc::eip {
namespace {

using bytes = std::vector<std::uint8_t>;

bytes text(std::string_view s) { return bytes(s.begin(), s.end()); }
bytes cat(std::initializer_list<bytes> parts) {
  bytes out;
  for (const bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// ---- Paths -------------------------------------------------------------------

struct path_case {
  std::string_view name;
  bytes expected;
};

TEST(EipTagPath, EncodesSymbolsAndIndexes) {
  const std::vector<path_case> cases{
      {"rate", cat({{0x91, 0x04}, text("rate")})},
      // The reference's REAL array example: setpoints[5].
      {"setpoints[5]", cat({{0x91, 0x09}, text("setpoints"), {0x00, 0x28, 0x05}})},
      {"TotalCount", cat({{0x91, 0x0A}, text("TotalCount")})},
      {"Program:Main.Motor.Speed[3]",
       cat({{0x91, 0x0C}, text("Program:Main"), {0x91, 0x05}, text("Motor"), {0x00, 0x91, 0x05}, text("Speed"),
            {0x00, 0x28, 0x03}})},
      {"Grid[1,300].Cell", cat({{0x91, 0x04}, text("Grid"), {0x28, 0x01, 0x29, 0x00, 0x2C, 0x01, 0x91, 0x04},
                                text("Cell")})},
      {"Grid[2][7]", cat({{0x91, 0x04}, text("Grid"), {0x28, 0x02, 0x28, 0x07}})},
      {"Big[70000]", cat({{0x91, 0x03}, text("Big"), {0x00, 0x2A, 0x00, 0x70, 0x11, 0x01, 0x00}})},
      {"Arr[ 4 ]", cat({{0x91, 0x03}, text("Arr"), {0x00, 0x28, 0x04}})},
  };
  for (const path_case& c : cases) {
    bytes out{0xEE};  // cleared first
    EXPECT_EQ(encode_tag_path(c.name, out), status_ok) << c.name;
    EXPECT_EQ(out, c.expected) << c.name;
  }
}

TEST(EipTagPath, RefusesNamesItCannotEncode) {
  const std::string long_symbol(256, 'x');
  for (const std::string_view name : {"", ".", "a..b", "a.", ".a", "a[", "a[]", "a[x]", "a[1", "a[1]x", "a]",
                                      "a b", "Motor.5", "a[-1]", "a[4294967296]", "a[1,]"}) {
    bytes out;
    EXPECT_EQ(encode_tag_path(name, out), err_bad_param) << '"' << name << '"';
  }
  bytes out;
  EXPECT_EQ(encode_tag_path(long_symbol, out), err_bad_param);
  EXPECT_EQ(encode_tag_path(long_symbol.substr(1), out), status_ok);
}

TEST(EipRoutePath, EncodesPortSegments) {
  const std::vector<path_case> cases{
      {"", {}},
      {"1,0", {0x01, 0x00}},
      {" 1, 3 ", {0x01, 0x03}},
      {"1,0,2,10.0.0.7,1,0", cat({{0x01, 0x00, 0x12, 0x08}, text("10.0.0.7"), {0x01, 0x00}})},
      {"2,10.0.0.17", cat({{0x12, 0x09}, text("10.0.0.17"), {0x00}})},
  };
  for (const path_case& c : cases) {
    bytes out{0xEE};
    EXPECT_EQ(encode_route_path(c.name, out), status_ok) << c.name;
    EXPECT_EQ(out, c.expected) << c.name;
  }
  for (const std::string_view route : {"1", "1,", "0,0", "15,0", "1,256", "1,,", "a,b", "1,0,", "1,a b"}) {
    bytes out;
    EXPECT_EQ(encode_route_path(route, out), err_bad_param) << '"' << route << '"';
  }
}

// ---- Tag services --------------------------------------------------------------

TEST(EipFrames, LogixTagServices) {
  bytes path;
  ASSERT_EQ(encode_tag_path("setpoints[5]", path), status_ok);
  bytes out;
  // Write 14.5 to setpoints[5] (REAL).
  tag_type real;
  real.bytes = {0xCA, 0x00};
  real.size = 2;
  ASSERT_TRUE(put_write_tag(out, path, real, 1, bytes{0x00, 0x00, 0x68, 0x41}));
  EXPECT_EQ(out, cat({{0x4D, 0x07, 0x91, 0x09}, text("setpoints"),
                      {0x00, 0x28, 0x05, 0xCA, 0x00, 0x01, 0x00, 0x00, 0x00, 0x68, 0x41}}));

  ASSERT_EQ(encode_tag_path("TotalCount", path), status_ok);
  out.clear();
  ASSERT_TRUE(put_read_tag_fragmented(out, path, 1750, 490));
  EXPECT_EQ(out, cat({{0x52, 0x06, 0x91, 0x0A}, text("TotalCount"), {0xD6, 0x06, 0xEA, 0x01, 0x00, 0x00}}));

  out.clear();
  tag_type sint;
  sint.bytes = {0xC2, 0x00};
  sint.size = 2;
  ASSERT_TRUE(put_write_tag_fragmented(out, path, sint, 1750, 948, bytes{0x11, 0x22}));
  EXPECT_EQ(out, cat({{0x53, 0x06, 0x91, 0x0A}, text("TotalCount"),
                      {0xC2, 0x00, 0xD6, 0x06, 0xB4, 0x03, 0x00, 0x00, 0x11, 0x22}}));

  ASSERT_EQ(encode_tag_path("parts", path), status_ok);
  out.clear();
  ASSERT_TRUE(put_read_tag(out, path, 1));
  EXPECT_EQ(out, cat({{0x4C, 0x04, 0x91, 0x05}, text("parts"), {0x00, 0x01, 0x00}}));

  // A write needs the tag's type: none known, no request.
  EXPECT_FALSE(put_write_tag(out, path, tag_type{}, 1, bytes{1}));
  // Odd paths are not paths.
  EXPECT_FALSE(put_read_tag(out, bytes{0x91}, 1));
}

TEST(EipFrames, ReadReplyAndItsTypeField) {
  // parts (INT) = 42.
  const bytes reply{0xCC, 0x00, 0x00, 0x00, 0xC3, 0x00, 0x2A, 0x00};
  const auto r = parse_cip_reply(reply);
  ASSERT_TRUE(r);
  EXPECT_EQ(r.value.service, 0xCC);
  EXPECT_EQ(r.value.general_status, 0);
  tag_type type;
  const auto value = split_tag_data(r.value.data, type);
  ASSERT_TRUE(value);
  EXPECT_EQ(type.code(), cip_type::int_);
  EXPECT_EQ(type.size, 2);
  EXPECT_EQ(bytes(value.value.begin(), value.value.end()), (bytes{0x2A, 0x00}));

  // A structure: 0xA0 0x02 and its handle before the data.
  const bytes structure{0xA0, 0x02, 0x34, 0x12, 0x01, 0x02, 0x03};
  const auto s = split_tag_data(structure, type);
  ASSERT_TRUE(s);
  EXPECT_EQ(type.size, 4);
  EXPECT_EQ(type.code(), cip_type::structure);
  EXPECT_EQ(s.value.size(), 3u);

  // An error with extended status: out of range.
  const bytes error{0xCC, 0x00, 0xFF, 0x01, 0x05, 0x21};
  const auto e = parse_cip_reply(error);
  ASSERT_TRUE(e);
  EXPECT_EQ(e.value.general_status, 0xFF);
  EXPECT_EQ(e.value.extended_status, 0x2105);
  EXPECT_TRUE(e.value.data.empty());
  EXPECT_EQ(error_of_cip_status(0xFF, 0x2105), err_out_of_bounds);
  EXPECT_EQ(error_of_cip_status(0x05, 0), err_not_found);
  EXPECT_EQ(error_of_cip_status(0x04, 0), err_not_found);
  EXPECT_EQ(error_of_cip_status(0x08, 0), err_unsupported);
}

TEST(EipFrames, MalformedCipReplies) {
  const std::vector<bytes> malformed{
      {},
      {0xCC, 0x00, 0x00},                    // shorter than the head
      {0x4C, 0x00, 0x00, 0x00},              // no reply flag
      {0xCC, 0x00, 0xFF, 0x02, 0x05, 0x21},  // two extended words announced, one there
      {0xCC, 0x00, 0xFF, 0xFF},
  };
  for (const bytes& m : malformed) EXPECT_EQ(parse_cip_reply(m).error, err_bad_reply) << m.size();
  tag_type type;
  EXPECT_EQ(split_tag_data(bytes{0xC4}, type).error, err_bad_reply);
  EXPECT_EQ(split_tag_data(bytes{0xA0, 0x02, 0x01}, type).error, err_bad_reply);
}

// ---- Encapsulation -------------------------------------------------------------

TEST(EipFrames, RegisterSessionAndItsReply) {
  bytes out;
  build_register_session(out, 0x0807060504030201ull);
  EXPECT_EQ(out, (bytes{0x65, 0x00, 0x04, 0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07,
                        0x08, 0, 0, 0, 0, 0x01, 0x00, 0x00, 0x00}));
  const bytes reply{0x65, 0x00, 0x04, 0x00, 0x78, 0x56, 0x34, 0x12, 0, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8,
                    0, 0, 0, 0, 0x01, 0x00, 0x00, 0x00};
  const auto h = parse_encap_header(reply);
  ASSERT_TRUE(h);
  EXPECT_EQ(h.value.command, encap::register_session);
  EXPECT_EQ(h.value.length, 4);
  const byte_span body = byte_span(reply).subspan(encap::header_size);
  const auto session = parse_register_reply(h.value, body);
  ASSERT_TRUE(session);
  EXPECT_EQ(session.value, 0x12345678u);

  encap_header refused = h.value;
  refused.status = 0x69;  // unsupported protocol revision
  EXPECT_EQ(parse_register_reply(refused, body).error, err_bad_connection);
  encap_header no_handle = h.value;
  no_handle.session = 0;
  EXPECT_EQ(parse_register_reply(no_handle, body).error, err_bad_reply);
  EXPECT_EQ(parse_register_reply(h.value, body.first(2)).error, err_bad_reply);
  EXPECT_EQ(parse_encap_header(byte_span(reply).first(23)).error, err_bad_reply);

  out.clear();
  build_unregister_session(out, 0x12345678u);
  EXPECT_EQ(out, (bytes{0x66, 0x00, 0x00, 0x00, 0x78, 0x56, 0x34, 0x12, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                        0, 0, 0, 0}));
}

TEST(EipFrames, SendRrDataAndSendUnitData) {
  const bytes message{0x4C, 0x02, 0x91, 0x02, 0x41, 0x42, 0x01, 0x00};
  bytes out;
  packet_marks m = begin_rr_data(out, 0x11223344u, 7);
  put_bytes(out, message);
  ASSERT_TRUE(finish_packet(out, m));
  EXPECT_EQ(out, cat({{0x6F, 0x00, 0x18, 0x00, 0x44, 0x33, 0x22, 0x11, 0, 0, 0, 0, 7, 0, 0, 0, 0, 0, 0, 0,
                       0, 0, 0, 0,                      // header
                       0, 0, 0, 0, 0, 0,                // interface handle, time-out
                       0x02, 0x00, 0x00, 0x00, 0x00, 0x00,  // two items: null address
                       0xB2, 0x00, 0x08, 0x00},         // unconnected data
                      message}));

  out.clear();
  m = begin_unit_data(out, 0x11223344u, 0xAABBCCDDu, 0x0102);
  put_bytes(out, message);
  ASSERT_TRUE(finish_packet(out, m));
  EXPECT_EQ(out, cat({{0x70, 0x00, 0x1E, 0x00, 0x44, 0x33, 0x22, 0x11, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                       0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                       0x02, 0x00, 0xA1, 0x00, 0x04, 0x00, 0xDD, 0xCC, 0xBB, 0xAA,  // connected address
                       0xB1, 0x00, 0x0A, 0x00, 0x02, 0x01},                        // data, sequence
                      message}));

  // Their replies, as the bodies after the encapsulation header.
  const bytes rr = cat({{0, 0, 0, 0, 0, 0, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0xB2, 0x00, 0x04, 0x00},
                        {0xCC, 0x00, 0x00, 0x00}});
  const auto unconnected = parse_rr_data(rr);
  ASSERT_TRUE(unconnected);
  EXPECT_EQ(unconnected.value.size(), 4u);
  const bytes unit = cat({{0, 0, 0, 0, 0, 0, 0x02, 0x00, 0xA1, 0x00, 0x04, 0x00, 0x01, 0x00, 0x00, 0x80, 0xB1,
                           0x00, 0x06, 0x00, 0x02, 0x01},
                          {0xCC, 0x00, 0x00, 0x00}});
  const auto connected = parse_unit_data(unit);
  ASSERT_TRUE(connected);
  EXPECT_EQ(connected.value.connection_id, 0x80000001u);
  EXPECT_EQ(connected.value.sequence, 0x0102);
  EXPECT_EQ(connected.value.message.size(), 4u);
}

TEST(EipFrames, MalformedPacketBodies) {
  const bytes good_rr{0, 0, 0, 0, 0, 0, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0xB2, 0x00, 0x04, 0x00,
                      0xCC, 0x00, 0x00, 0x00};
  ASSERT_TRUE(parse_rr_data(good_rr));
  bytes lying = good_rr;
  lying[14] = 0x05;  // the data item claims one byte more than there is
  EXPECT_EQ(parse_rr_data(lying).error, err_bad_reply);
  bytes trailing = good_rr;
  trailing.push_back(0);
  EXPECT_EQ(parse_rr_data(trailing).error, err_bad_reply);
  bytes more_items = good_rr;
  more_items[6] = 3;
  EXPECT_EQ(parse_rr_data(more_items).error, err_bad_reply);
  bytes no_data = good_rr;
  no_data[12] = 0xB1;  // a connected data item where the unconnected one belongs
  EXPECT_EQ(parse_rr_data(no_data).error, err_bad_reply);
  EXPECT_EQ(parse_rr_data(byte_span(good_rr).first(7)).error, err_bad_reply);

  const bytes good_unit{0, 0, 0, 0, 0, 0, 0x02, 0x00, 0xA1, 0x00, 0x04, 0x00, 1, 0, 0, 0, 0xB1, 0x00, 0x06,
                        0x00, 0x02, 0x01, 0xCC, 0x00, 0x00, 0x00};
  ASSERT_TRUE(parse_unit_data(good_unit));
  bytes short_address = good_unit;
  short_address[10] = 3;
  EXPECT_EQ(parse_unit_data(short_address).error, err_bad_reply);
  bytes no_sequence = good_unit;
  no_sequence.resize(21);
  no_sequence[18] = 1;
  EXPECT_EQ(parse_unit_data(no_sequence).error, err_bad_reply);
  bytes one_item = good_unit;
  one_item[6] = 1;
  EXPECT_EQ(parse_unit_data(one_item).error, err_bad_reply);
}

// ---- Multiple Service Packet ------------------------------------------------------

TEST(EipFrames, MultipleServicePacket) {
  bytes a, b, out;
  ASSERT_TRUE(put_read_tag(a, bytes{0x91, 0x02, 'A', 'B'}, 1));
  ASSERT_TRUE(put_read_tag(b, bytes{0x91, 0x01, 'C', 0x00}, 1));
  const std::size_t count_at = begin_msp(out, 2);
  ASSERT_TRUE(mark_msp_service(out, count_at, 0));
  put_bytes(out, a);
  ASSERT_TRUE(mark_msp_service(out, count_at, 1));
  put_bytes(out, b);
  EXPECT_EQ(out, cat({{0x0A, 0x02, 0x20, 0x02, 0x24, 0x01, 0x02, 0x00, 0x06, 0x00, 0x0E, 0x00}, a, b}));
  EXPECT_EQ(out.size(), msp_request_fixed + 2 * msp_per_service + a.size() + b.size());

  // The reply data (after the 0x8A head): two reads, the second failed.
  const bytes data{0x02, 0x00, 0x06, 0x00, 0x10, 0x00,                            // count, offsets
                   0xCC, 0x00, 0x00, 0x00, 0xC4, 0x00, 0x2A, 0x00, 0x00, 0x00,  // DINT 42
                   0xCC, 0x00, 0x05, 0x00};                                       // not found
  std::vector<byte_span> items;
  ASSERT_EQ(split_msp_reply(data, 2, items), status_ok);
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(items[0].size(), 10u);
  EXPECT_EQ(items[1].size(), 4u);
  EXPECT_EQ(parse_cip_reply(items[1]).value.general_status, 0x05);

  EXPECT_EQ(split_msp_reply(data, 3, items), err_bad_reply);  // another count than asked
  bytes backwards = data;
  backwards[4] = 0x05;  // the second offset before the first
  EXPECT_EQ(split_msp_reply(backwards, 2, items), err_bad_reply);
  bytes beyond = data;
  beyond[4] = 0x40;
  EXPECT_EQ(split_msp_reply(beyond, 2, items), err_bad_reply);
  bytes into_table = data;
  into_table[2] = 0x03;  // inside the offsets table
  EXPECT_EQ(split_msp_reply(into_table, 2, items), err_bad_reply);
  bytes short_item = data;
  short_item.resize(18);  // the last reply cut to two bytes
  EXPECT_EQ(split_msp_reply(short_item, 2, items), err_bad_reply);
  EXPECT_EQ(split_msp_reply(byte_span(data).first(3), 2, items), err_bad_reply);
}

// ---- Connection Manager -----------------------------------------------------------

TEST(EipFrames, ForwardOpenForwardCloseUnconnectedSend) {
  forward_open_request r;
  r.o_to_t_id = 0x01020304;
  r.t_to_o_id = 0x0A0B0C0D;
  r.connection_serial = 0x1234;
  r.vendor = 0xF00D;
  r.originator_serial = 0xCAFEBABE;
  r.timeout_multiplier = 3;
  r.rpi_us = 2'000'000;
  r.size = 504;
  const bytes route{0x01, 0x00};
  r.route = route;
  bytes out;
  ASSERT_TRUE(put_forward_open(out, r));
  const bytes tail_small{0x0A, 0x05, 0x04, 0x03, 0x02, 0x01, 0x0D, 0x0C, 0x0B, 0x0A, 0x34, 0x12, 0x0D, 0xF0,
                         0xBE, 0xBA, 0xFE, 0xCA, 0x03, 0x00, 0x00, 0x00,
                         0x80, 0x84, 0x1E, 0x00, 0xF8, 0x43,  // O->T RPI 2 s, point to point, variable, 504
                         0x80, 0x84, 0x1E, 0x00, 0xF8, 0x43,  // T->O the same
                         0xA3, 0x03, 0x01, 0x00, 0x20, 0x02, 0x24, 0x01};
  EXPECT_EQ(out, cat({{0x54, 0x02, 0x20, 0x06, 0x24, 0x01}, tail_small}));

  out.clear();
  r.large = true;
  r.size = 4002;
  ASSERT_TRUE(put_forward_open(out, r));
  const bytes tail_large{0x0A, 0x05, 0x04, 0x03, 0x02, 0x01, 0x0D, 0x0C, 0x0B, 0x0A, 0x34, 0x12, 0x0D, 0xF0,
                         0xBE, 0xBA, 0xFE, 0xCA, 0x03, 0x00, 0x00, 0x00,
                         0x80, 0x84, 0x1E, 0x00, 0xA2, 0x0F, 0x00, 0x42,
                         0x80, 0x84, 0x1E, 0x00, 0xA2, 0x0F, 0x00, 0x42,
                         0xA3, 0x03, 0x01, 0x00, 0x20, 0x02, 0x24, 0x01};
  EXPECT_EQ(out, cat({{0x5B, 0x02, 0x20, 0x06, 0x24, 0x01}, tail_large}));

  // Micro800: no route, the Message Router alone.
  out.clear();
  r.route = {};
  ASSERT_TRUE(put_forward_open(out, r));
  EXPECT_EQ(bytes(out.end() - 6, out.end()), (bytes{0xA3, 0x02, 0x20, 0x02, 0x24, 0x01}));

  out.clear();
  ASSERT_TRUE(put_forward_close(out, 0x1234, 0xF00D, 0xCAFEBABE, route));
  EXPECT_EQ(out, (bytes{0x4E, 0x02, 0x20, 0x06, 0x24, 0x01, 0x0A, 0x05, 0x34, 0x12, 0x0D, 0xF0, 0xBE, 0xBA, 0xFE,
                        0xCA, 0x03, 0x00, 0x01, 0x00, 0x20, 0x02, 0x24, 0x01}));

  out.clear();
  const bytes message{0x4C, 0x02, 0x91, 0x01, 'A', 0x00, 0x01};  // odd: a pad byte follows
  ASSERT_TRUE(put_unconnected_send(out, message, route));
  EXPECT_EQ(out, cat({{0x52, 0x02, 0x20, 0x06, 0x24, 0x01, 0x0A, 0x05, 0x07, 0x00}, message,
                      {0x00, 0x01, 0x00, 0x01, 0x00}}));

  const bytes reply{0x44, 0x33, 0x22, 0x11, 0x0D, 0x0C, 0x0B, 0x0A, 0x34, 0x12, 0x0D, 0xF0, 0xBE, 0xBA, 0xFE,
                    0xCA, 0x80, 0x84, 0x1E, 0x00, 0x80, 0x84, 0x1E, 0x00, 0x00, 0x00};
  const auto fo = parse_forward_open_reply(reply);
  ASSERT_TRUE(fo);
  EXPECT_EQ(fo.value.o_to_t_id, 0x11223344u);
  EXPECT_EQ(fo.value.t_to_o_id, 0x0A0B0C0Du);
  EXPECT_EQ(fo.value.connection_serial, 0x1234);
  EXPECT_EQ(parse_forward_open_reply(byte_span(reply).first(25)).error, err_bad_reply);
  bytes app_reply = reply;
  app_reply[24] = 1;  // one word of application reply announced, none there
  EXPECT_EQ(parse_forward_open_reply(app_reply).error, err_bad_reply);
}

// ---- Symbol listing ----------------------------------------------------------------

TEST(EipFrames, SymbolListingRequestsAndPages) {
  bytes out;
  ASSERT_TRUE(put_list_symbols(out, {}, 0));
  EXPECT_EQ(out, (bytes{0x55, 0x03, 0x20, 0x6B, 0x25, 0x00, 0x00, 0x00, 0x04, 0x00, 0x02, 0x00, 0x07, 0x00, 0x08,
                        0x00, 0x01, 0x00}));
  out.clear();
  bytes scope;
  put_symbolic_segment(scope, "Program:Main");
  ASSERT_TRUE(put_list_symbols(out, scope, 0x12345));
  EXPECT_EQ(out, cat({{0x55, 0x0B, 0x91, 0x0C}, text("Program:Main"),
                      {0x20, 0x6B, 0x26, 0x00, 0x45, 0x23, 0x01, 0x00, 0x04, 0x00, 0x02, 0x00, 0x07, 0x00, 0x08,
                       0x00, 0x01, 0x00}}));

  const bytes page = cat({{0x01, 0x00, 0x00, 0x00, 0xC4, 0x00, 0x04, 0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                           0x05, 0x00},
                          text("Speed"),
                          {0x09, 0x01, 0x00, 0x00, 0xC4, 0x20, 0x04, 0x00, 10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                           0x03, 0x00},
                          text("Arr")});
  const auto p = check_listing_page(page);
  ASSERT_TRUE(p);
  EXPECT_EQ(p.value.entries, 2u);
  EXPECT_EQ(p.value.last_instance, 0x109u);
  EXPECT_EQ(check_listing_page({}).value.entries, 0u);
  for (std::size_t cut = 1; cut < page.size(); ++cut) {
    if (cut == 27) continue;  // the first entry alone
    EXPECT_EQ(check_listing_page(byte_span(page).first(cut)).error, err_bad_reply) << cut;
  }
  EXPECT_TRUE(check_listing_page(byte_span(page).first(27)));
}

// ---- Attribute strings ----------------------------------------------------------------

TEST(EipAttributes, ReadsTheDriversStrings) {
  const auto a = parse_attributes("protocol=ab-eip&gateway=192.168.1.10&path=1,0&plc=controllogix&elem_size=4"
                                  "&name=Counter");
  ASSERT_TRUE(a) << a.error;
  EXPECT_EQ(a.value.host, "192.168.1.10");
  EXPECT_EQ(a.value.port, 44818);
  EXPECT_EQ(a.value.route, (bytes{0x01, 0x00}));
  EXPECT_EQ(a.value.family, plc_family::logix);
  EXPECT_EQ(a.value.elem_size, 4u);
  EXPECT_EQ(a.value.elem_count, 1u);
  EXPECT_EQ(a.value.kind, tag_kind::data);
  EXPECT_EQ(a.value.path, cat({{0x91, 0x07}, text("Counter"), {0x00}}));

  const auto m = parse_attributes("protocol=ab-eip&gateway=localhost:2222&plc=micro800&elem_size=2&elem_count=10"
                                  "&name=Arr");
  ASSERT_TRUE(m) << m.error;
  EXPECT_EQ(m.value.port, 2222);
  EXPECT_TRUE(m.value.route.empty());
  EXPECT_EQ(m.value.family, plc_family::micro800);
  EXPECT_EQ(m.value.elem_count, 10u);

  const auto l = parse_attributes("PROTOCOL=AB-EIP&gateway=h&path=1,0&plc=CompactLogix&name=@tags");
  ASSERT_TRUE(l);
  EXPECT_EQ(l.value.kind, tag_kind::listing);
  EXPECT_TRUE(l.value.path.empty());
  const auto p = parse_attributes("protocol=ab-eip&gateway=h&path=1,0&plc=controllogix&name=Program:Main.@tags");
  ASSERT_TRUE(p);
  EXPECT_EQ(p.value.kind, tag_kind::listing);
  EXPECT_EQ(p.value.path, cat({{0x91, 0x0C}, text("Program:Main")}));
  const auto r = parse_attributes("protocol=ab-eip&gateway=h&path=1,0&plc=omron-njnx&name=@raw");
  ASSERT_TRUE(r);
  EXPECT_EQ(r.value.kind, tag_kind::raw);
  EXPECT_EQ(r.value.family, plc_family::omron_njnx);
}

TEST(EipAttributes, RefusesBadStrings) {
  struct bad {
    std::string_view text;
    int error;
  };
  const std::string base = "protocol=ab-eip&gateway=h&path=1,0&plc=controllogix";
  const std::vector<bad> cases{
      {"", err_bad_config},
      {"protocol=modbus-tcp&gateway=h&plc=controllogix&path=1,0&name=A", err_bad_config},
      {"gateway=h&plc=controllogix&path=1,0&name=A", err_bad_config},
      {"protocol=ab-eip&gateway=h&plc=plc5&path=1,0&name=A", err_bad_config},
      {"protocol=ab-eip&gateway=h&path=1,0&name=A", err_bad_config},
      {"protocol=ab-eip&plc=controllogix&path=1,0&name=A", err_bad_config},
      {"protocol=ab-eip&gateway=h&plc=controllogix&path=1,0", err_bad_config},
      {"protocol=ab-eip&gateway=h&plc=controllogix&name=A", err_bad_config},  // Logix needs its route
      {"protocol=ab-eip&gateway=h&plc=omron-njnx&name=A", err_bad_config},
      {"protocol=ab-eip&gateway=h&plc=controllogix&path=&name=A", err_bad_config},
      {"protocol=ab-eip&gateway=h&plc=controllogix&path=1,0&name=A&junk", err_bad_param},
      {"protocol=ab-eip&gateway=&plc=controllogix&path=1,0&name=A", err_bad_param},
      {"protocol=ab-eip&gateway=h:0&plc=controllogix&path=1,0&name=A", err_bad_param},
      {"protocol=ab-eip&gateway=h:70000&plc=controllogix&path=1,0&name=A", err_bad_param},
      {"protocol=ab-eip&gateway=h:x&plc=controllogix&path=1,0&name=A", err_bad_param},
      {"protocol=ab-eip&gateway=a b&plc=controllogix&path=1,0&name=A", err_bad_param},
      {"protocol=ab-eip&gateway=h&plc=controllogix&path=1&name=A", err_bad_param},
      {"protocol=ab-eip&gateway=h&plc=controllogix&path=1,0&name=A&elem_size=0", err_bad_param},
      {"protocol=ab-eip&gateway=h&plc=controllogix&path=1,0&name=A&elem_size=four", err_bad_param},
      {"protocol=ab-eip&gateway=h&plc=controllogix&path=1,0&name=A&elem_count=-1", err_bad_param},
      {"protocol=ab-eip&gateway=h&plc=controllogix&path=1,0&name=A&elem_count=65536", err_bad_param},
      {"protocol=ab-eip&gateway=h&plc=controllogix&path=1,0&name=", err_bad_param},
      {"protocol=ab-eip&gateway=h&plc=controllogix&path=1,0&name=A..B", err_bad_param},
      {"protocol=ab-eip&gateway=h&plc=controllogix&path=1,0&name=A.B.@tags", err_bad_param},
      {"protocol=ab-eip&gateway=h&plc=controllogix&path=1,0&=x&name=A", err_bad_param},
  };
  for (const bad& c : cases) EXPECT_EQ(parse_attributes(c.text).error, c.error) << c.text;
  EXPECT_TRUE(parse_attributes(base + "&name=A&debug=4&&"));  // unknown keys and empty parts pass
}

TEST(EipStatus, DecodesErrorCodes) {
  EXPECT_STREQ(plc_tag_decode_error(status_ok), "PLCTAG_STATUS_OK");
  EXPECT_STREQ(plc_tag_decode_error(status_pending), "PLCTAG_STATUS_PENDING");
  EXPECT_STREQ(plc_tag_decode_error(err_abort), "PLCTAG_ERR_ABORT");
  EXPECT_STREQ(plc_tag_decode_error(err_timeout), "PLCTAG_ERR_TIMEOUT");
  EXPECT_STREQ(plc_tag_decode_error(err_not_found), "PLCTAG_ERR_NOT_FOUND");
  EXPECT_STREQ(plc_tag_decode_error(err_busy), "PLCTAG_ERR_BUSY");
  EXPECT_STREQ(plc_tag_decode_error(-40), "Unknown error.");
  EXPECT_STREQ(plc_tag_decode_error(7), "Unknown error.");
}

}  // namespace
}  // namespace kvt::plc::eip
