// AMS/TCP frame encoding and decoding, byte for byte.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "plc/ads/ams/frames.hpp"

namespace ams = kvt::plc::ads::ams;
using bytes = std::vector<std::uint8_t>;

namespace {

const ams::address target{{5, 1, 204, 160, 1, 1}, 851};
const ams::address source{{192, 168, 0, 10, 1, 1}, 32905};

TEST(AdsFrames, NetIdParsing) {
  struct row {
    std::string text;
    bool ok;
    ams::net_id id;
  };
  const row rows[] = {
      {"5.1.204.160.1.1", true, {5, 1, 204, 160, 1, 1}},
      {"0.0.0.0.0.0", true, {0, 0, 0, 0, 0, 0}},
      {"255.255.255.255.255.255", true, {255, 255, 255, 255, 255, 255}},
      {"5.1.204.160.1", false, {}},
      {"5.1.204.160.1.1.1", false, {}},
      {"5.1.204.300.1.1", false, {}},
      {"5.1.204.160.1.1.", false, {}},
      {".5.1.204.160.1.1", false, {}},
      {"5.1..160.1.1", false, {}},
      {"5.1.x.160.1.1", false, {}},
      {"5.1.-4.160.1.1", false, {}},
      {"5.1.204.160.1.1 ", false, {}},
      {"", false, {}},
  };
  for (const auto& r : rows) {
    const auto id = ams::parse_net_id(r.text);
    EXPECT_EQ(id.has_value(), r.ok) << r.text;
    if (id && r.ok) {
      EXPECT_EQ(*id, r.id) << r.text;
    }
  }
}

TEST(AdsFrames, ReadRequestBytes) {
  const bytes expected = {
      0x00, 0x00, 0x2C, 0x00, 0x00, 0x00,              // AMS/TCP: reserved, 44 bytes follow
      0x05, 0x01, 0xCC, 0xA0, 0x01, 0x01, 0x53, 0x03,  // target 5.1.204.160.1.1:851
      0xC0, 0xA8, 0x00, 0x0A, 0x01, 0x01, 0x89, 0x80,  // source 192.168.0.10.1.1:32905
      0x02, 0x00, 0x04, 0x00,                          // command Read, flags request
      0x0C, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // data length 12, error 0
      0x78, 0x56, 0x34, 0x12,                          // invoke id
      0x20, 0x40, 0x00, 0x00, 0x10, 0x00, 0x00, 0x00,  // group 0x4020, offset 16
      0x04, 0x00, 0x00, 0x00};                         // length 4
  EXPECT_EQ(ams::encode_read_request(target, source, 0x12345678, 0x4020, 16, 4), expected);
}

TEST(AdsFrames, ReadWriteRequestBytes) {
  const bytes name = {'A', 'b', 0};
  const bytes expected = {
      0x00, 0x00, 0x33, 0x00, 0x00, 0x00,              // 32 + 19 bytes follow
      0x05, 0x01, 0xCC, 0xA0, 0x01, 0x01, 0x53, 0x03,  //
      0xC0, 0xA8, 0x00, 0x0A, 0x01, 0x01, 0x89, 0x80,  //
      0x09, 0x00, 0x04, 0x00,                          // command Read Write
      0x13, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // data length 19
      0x01, 0x00, 0x00, 0x00,                          // invoke id 1
      0x09, 0xF0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // group 0xF009, offset 0
      0x00, 0x02, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00,  // read 512, write 3
      'A',  'b',  0x00};
  EXPECT_EQ(ams::encode_read_write_request(target, source, 1, 0xF009, 0, 512, name), expected);
}

TEST(AdsFrames, TcpHeader) {
  const bytes head = {0x00, 0x10, 0x08, 0x00, 0x00, 0x00};
  const auto h = ams::decode_tcp_header(head);
  ASSERT_TRUE(h);
  EXPECT_EQ(h->reserved, 0x1000);
  EXPECT_EQ(h->length, 8u);
  EXPECT_FALSE(ams::decode_tcp_header(bytes(head.begin(), head.begin() + 5)));
}

// A reply to the Read request above, after its AMS/TCP header.
bytes reply_packet(std::uint32_t data_length, const bytes& data) {
  bytes p = {0xC0, 0xA8, 0x00, 0x0A, 0x01, 0x01, 0x89, 0x80,  // target: us
             0x05, 0x01, 0xCC, 0xA0, 0x01, 0x01, 0x53, 0x03,  // source: the device
             0x02, 0x00, 0x05, 0x00};
  for (int s = 0; s < 32; s += 8) p.push_back(static_cast<std::uint8_t>(data_length >> s));
  p.insert(p.end(), {0x00, 0x00, 0x00, 0x00, 0x78, 0x56, 0x34, 0x12});
  p.insert(p.end(), data.begin(), data.end());
  return p;
}

TEST(AdsFrames, AmsPacketDecoding) {
  const bytes data = {0, 0, 0, 0, 2, 0, 0, 0, 0xAA, 0xBB};
  const auto good = reply_packet(10, data);
  const auto p = ams::decode_ams_packet(good);
  ASSERT_TRUE(p);
  EXPECT_EQ(p->header.target, source);
  EXPECT_EQ(p->header.source, target);
  EXPECT_EQ(p->header.command, 2);
  EXPECT_EQ(p->header.state_flags, 5);
  EXPECT_EQ(p->header.error_code, 0u);
  EXPECT_EQ(p->header.invoke_id, 0x12345678u);
  EXPECT_EQ(bytes(p->data.begin(), p->data.end()), data);

  struct row {
    const char* what;
    bytes packet;
  };
  const row bad[] = {
      {"data length says more", reply_packet(11, data)},
      {"data length says less", reply_packet(9, data)},
      {"huge data length", reply_packet(0xFFFFFFFF, data)},
      {"header cut short", bytes(good.begin(), good.begin() + 31)},
      {"nothing", {}},
  };
  for (const auto& r : bad) EXPECT_FALSE(ams::decode_ams_packet(r.packet)) << r.what;
}

TEST(AdsFrames, ReadReplyDecoding) {
  struct row {
    const char* what;
    bytes data;
    bool ok;
    std::uint32_t result;
    bytes value;
  };
  const row rows[] = {
      {"value", {0, 0, 0, 0, 2, 0, 0, 0, 0x34, 0x12}, true, 0, {0x34, 0x12}},
      {"empty value", {0, 0, 0, 0, 0, 0, 0, 0}, true, 0, {}},
      {"error with length 0", {0x10, 0x07, 0, 0, 0, 0, 0, 0}, true, 0x710, {}},
      {"error alone", {0x10, 0x07, 0, 0}, true, 0x710, {}},
      {"success without length", {0, 0, 0, 0}, false, 0, {}},
      {"length says more", {0, 0, 0, 0, 3, 0, 0, 0, 0x34, 0x12}, false, 0, {}},
      {"length says less", {0, 0, 0, 0, 1, 0, 0, 0, 0x34, 0x12}, false, 0, {}},
      {"huge length", {0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0x34}, false, 0, {}},
      {"length cut short", {0, 0, 0, 0, 2, 0}, false, 0, {}},
      {"result cut short", {0, 0}, false, 0, {}},
  };
  for (const auto& r : rows) {
    const auto reply = ams::decode_read_reply(r.data);
    ASSERT_EQ(reply.has_value(), r.ok) << r.what;
    if (!reply) continue;
    EXPECT_EQ(reply->result, r.result) << r.what;
    EXPECT_EQ(bytes(reply->data.begin(), reply->data.end()), r.value) << r.what;
  }
}

}  // namespace
