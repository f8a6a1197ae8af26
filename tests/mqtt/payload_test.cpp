// Payload formats, the broker address rules and topic checks, without a broker.
#include <gtest/gtest.h>

#include <unistd.h>

#include <bit>
#include <cmath>
#include <limits>
#include <string>

#include "plc/mqtt/endpoint.hpp"
#include "plc/mqtt/payload.hpp"
#include "plc/mqtt/tag.hpp"
#include "plc/mqtt/topics.hpp"

namespace kvt::test {
namespace {

namespace mq = kvt::plc::mqtt;
namespace vt = kvt::plc::value_type;
using mq::payload_format;

std::string encoded(std::uint32_t type, payload_format format, std::int32_t slot) {
  std::string out;
  EXPECT_TRUE(mq::append_payload(out, type, format, slot));
  return out;
}

std::int32_t decoded(std::string_view payload, std::uint32_t type, payload_format format, std::int32_t slot = 0) {
  return mq::decode_payload(payload, type, format, slot);
}

std::int32_t bits(float f) { return std::bit_cast<std::int32_t>(f); }

TEST(MqttPayload, TagFieldsSitInBitsTwoToFive) {
  const std::uint64_t tag = mq::encode_tag(vt::s16, payload_format::text, 2);
  EXPECT_EQ(tag & 0x3F, 0b10'10'00u);
  const auto f = mq::decode_tag(tag);
  EXPECT_EQ(f.qos, 2u);
  EXPECT_EQ(f.format, payload_format::text);
  EXPECT_EQ(f.type, vt::s16);
}

TEST(MqttPayload, BinaryPayloadsInBothByteOrders) {
  EXPECT_EQ(encoded(vt::boolean, payload_format::big_endian, 1), std::string("\x01", 1));
  EXPECT_EQ(encoded(vt::u8, payload_format::little_endian, 0x1AB), std::string("\xAB", 1));
  EXPECT_EQ(encoded(vt::u16, payload_format::big_endian, 0x0102), std::string("\x01\x02", 2));
  EXPECT_EQ(encoded(vt::s16, payload_format::little_endian, 0xFFFE), std::string("\xFE\xFF", 2));
  EXPECT_EQ(encoded(vt::u32, payload_format::big_endian, 0x01020304), std::string("\x01\x02\x03\x04", 4));
  EXPECT_EQ(encoded(vt::s32, payload_format::little_endian, -2), std::string("\xFE\xFF\xFF\xFF", 4));
  EXPECT_EQ(encoded(vt::real, payload_format::big_endian, bits(1.0f)), std::string("\x3F\x80\x00\x00", 4));
  EXPECT_EQ(encoded(vt::lreal, payload_format::big_endian, bits(1.5f)), std::string("\x3F\xF8\0\0\0\0\0\0", 8));
  EXPECT_EQ(encoded(vt::lreal, payload_format::little_endian, bits(1.5f)), std::string("\0\0\0\0\0\0\xF8\x3F", 8));
}

TEST(MqttPayload, TextPayloads) {
  EXPECT_EQ(encoded(vt::boolean, payload_format::text, 0), "false");
  EXPECT_EQ(encoded(vt::boolean, payload_format::text, 1), "true");
  EXPECT_EQ(encoded(vt::u8, payload_format::text, 0x1FF), "255");
  EXPECT_EQ(encoded(vt::s8, payload_format::text, 0xFF), "-1");
  EXPECT_EQ(encoded(vt::u16, payload_format::text, 0xFFFF), "65535");
  EXPECT_EQ(encoded(vt::s16, payload_format::text, 0xFFFE), "-2");
  EXPECT_EQ(encoded(vt::u32, payload_format::text, -1), "4294967295");
  EXPECT_EQ(encoded(vt::s32, payload_format::text, -1), "-1");
  EXPECT_EQ(encoded(vt::real, payload_format::text, bits(0.1f)), "0.1");
  EXPECT_EQ(encoded(vt::real, payload_format::text, bits(std::numeric_limits<float>::infinity())), "inf");
  EXPECT_EQ(encoded(vt::real, payload_format::text, bits(-std::numeric_limits<float>::infinity())), "-inf");
  EXPECT_EQ(encoded(vt::real, payload_format::text, bits(std::numeric_limits<float>::quiet_NaN())), "nan");
  EXPECT_EQ(encoded(vt::lreal, payload_format::text, bits(0.1f)), "0.10000000149011612");
}

TEST(MqttPayload, EmptyFormatAndUnknownTypes) {
  for (std::uint32_t type = vt::boolean; type <= vt::lreal; ++type)
    EXPECT_EQ(encoded(type, payload_format::empty, 12345), "") << type;
  std::string out = "kept";
  EXPECT_FALSE(mq::append_payload(out, 0, payload_format::text, 1));
  EXPECT_FALSE(mq::append_payload(out, 10, payload_format::big_endian, 1));
  EXPECT_EQ(out, "kept");
  EXPECT_EQ(decoded("5", 12, payload_format::text, 77), 77) << "an unknown type leaves the slot alone";
}

TEST(MqttPayload, TextIntegersStopAtTheFirstOtherCharacter) {
  EXPECT_EQ(decoded("  -42", vt::s32, payload_format::text), -42);
  EXPECT_EQ(decoded("12abc", vt::s32, payload_format::text), 12);
  EXPECT_EQ(decoded("abc", vt::s32, payload_format::text), 0);
  EXPECT_EQ(decoded("", vt::s32, payload_format::text, 9), 0);
  EXPECT_EQ(decoded("\t\n 7\n", vt::u16, payload_format::text), 7);
  EXPECT_EQ(decoded("-2147483648", vt::s32, payload_format::text), std::numeric_limits<std::int32_t>::min());
  EXPECT_EQ(decoded("2147483648", vt::s32, payload_format::text), 0) << "out of range";
  EXPECT_EQ(decoded("4294967295", vt::u32, payload_format::text), -1);
  EXPECT_EQ(decoded("99999999999999999999999", vt::u32, payload_format::text), 0);
  EXPECT_EQ(decoded("-1", vt::u8, payload_format::text), 0) << "no sign for unsigned types";
  EXPECT_EQ(decoded("+1", vt::s8, payload_format::text), 0);
  EXPECT_EQ(decoded("256", vt::u8, payload_format::text), 0);
  EXPECT_EQ(decoded("255", vt::u8, payload_format::text), 255);
  EXPECT_EQ(decoded("-129", vt::s8, payload_format::text), 0);
  EXPECT_EQ(decoded("-1", vt::s16, payload_format::text), 0xFFFF);
}

TEST(MqttPayload, NarrowTypesReplaceOnlyTheirLowBytes) {
  EXPECT_EQ(decoded("-1", vt::s8, payload_format::text, 0x7F00'0000), 0x7F00'00FF);
  EXPECT_EQ(decoded(std::string("\x12\x34", 2), vt::u16, payload_format::big_endian, 0x7F00'0000), 0x7F00'1234);
  EXPECT_EQ(decoded("junk", vt::u16, payload_format::text, 0x7F00'5555), 0x7F00'0000);
}

TEST(MqttPayload, TextBooleans) {
  EXPECT_EQ(decoded("1", vt::boolean, payload_format::text), 1);
  EXPECT_EQ(decoded("TrUe", vt::boolean, payload_format::text), 1);
  EXPECT_EQ(decoded("  true\r\n", vt::boolean, payload_format::text), 1);
  EXPECT_EQ(decoded("true1", vt::boolean, payload_format::text), 0);
  EXPECT_EQ(decoded("yes", vt::boolean, payload_format::text), 0);
  EXPECT_EQ(decoded("2", vt::boolean, payload_format::text), 0);
  EXPECT_EQ(decoded("false", vt::boolean, payload_format::text, 1), 0);
}

TEST(MqttPayload, BinaryPayloadsShorterThanTheTypeGiveZero) {
  EXPECT_EQ(decoded(std::string("\x01\x02", 2), vt::u16, payload_format::big_endian), 258);
  EXPECT_EQ(decoded(std::string("\x01\x02", 2), vt::u16, payload_format::little_endian), 0x0201);
  EXPECT_EQ(decoded(std::string("\x01", 1), vt::u16, payload_format::big_endian, 5), 0);
  EXPECT_EQ(decoded(std::string("\x01\x02\x03\x04\x05", 5), vt::u32, payload_format::big_endian), 0x01020304);
  EXPECT_EQ(decoded(std::string("\x05", 1), vt::boolean, payload_format::big_endian), 1) << "true is 1 in the slot";
  EXPECT_EQ(decoded(std::string("\x00", 1), vt::boolean, payload_format::little_endian, 1), 0);
  EXPECT_EQ(decoded("123", vt::s32, payload_format::empty, 9), 0);
}

TEST(MqttPayload, Floats) {
  EXPECT_EQ(decoded("3.5", vt::real, payload_format::text), bits(3.5f));
  EXPECT_EQ(decoded(" 2.5x", vt::real, payload_format::text), bits(2.5f));
  EXPECT_EQ(decoded("1e5", vt::real, payload_format::text), bits(1e5f));
  EXPECT_EQ(decoded("inf", vt::real, payload_format::text), bits(std::numeric_limits<float>::infinity()));
  EXPECT_TRUE(std::isnan(std::bit_cast<float>(decoded("nan", vt::real, payload_format::text))));
  EXPECT_EQ(decoded("1e50", vt::real, payload_format::text), 0) << "out of range for a REAL";
  EXPECT_EQ(decoded("x", vt::real, payload_format::text), 0);
  EXPECT_EQ(decoded("0.25", vt::lreal, payload_format::text), bits(0.25f));
  EXPECT_EQ(decoded("1e300", vt::lreal, payload_format::text), bits(std::numeric_limits<float>::infinity()))
      << "a double beyond float's range is carried as infinity";
  EXPECT_EQ(decoded(std::string("\x40\x02\0\0\0\0\0\0", 8), vt::lreal, payload_format::big_endian), bits(2.25f));
  EXPECT_EQ(decoded(std::string("\x40\x02\0\0\0\0\0", 7), vt::lreal, payload_format::big_endian), 0);
  EXPECT_EQ(decoded(std::string("\x00\x00\x80\x3F", 4), vt::real, payload_format::little_endian), bits(1.0f));
}

TEST(MqttEndpoint, SchemesAndSecurePortsChooseTls) {
  auto e = mq::make_endpoint("mqtts://broker", 1883);
  ASSERT_TRUE(e);
  EXPECT_EQ(e->uri, "ssl://broker:1883");
  EXPECT_TRUE(e->tls);
  for (const int port : {8883, 8884, 8885}) {
    e = mq::make_endpoint("broker", port);
    EXPECT_EQ(e->uri, "ssl://broker:" + std::to_string(port));
    EXPECT_TRUE(e->tls);
  }
  e = mq::make_endpoint("broker", 8886);
  EXPECT_EQ(e->uri, "tcp://broker:8886");
  EXPECT_FALSE(e->tls);
  e = mq::make_endpoint("ssl://10.0.0.5", 1);
  EXPECT_EQ(e->uri, "ssl://10.0.0.5:1");
  e = mq::make_endpoint("tcp://broker", 8883);
  EXPECT_EQ(e->uri, "ssl://broker:8883");
  e = mq::make_endpoint("MQTTS://Broker", 1883);
  EXPECT_EQ(e->uri, "ssl://Broker:1883");
  e = mq::make_endpoint("ws://broker", 1883);
  EXPECT_EQ(e->uri, "tcp://broker:1883");
}

TEST(MqttEndpoint, DefaultPortsIpv6AndRefusals) {
  EXPECT_EQ(mq::make_endpoint("broker", 0)->uri, "tcp://broker:1883");
  EXPECT_EQ(mq::make_endpoint("mqtts://broker", 0)->uri, "ssl://broker:8883");
  EXPECT_EQ(mq::make_endpoint("::1", 1883)->uri, "tcp://[::1]:1883");
  EXPECT_EQ(mq::make_endpoint("[::1]", 1883)->uri, "tcp://[::1]:1883");
  EXPECT_FALSE(mq::make_endpoint("", 1883));
  EXPECT_FALSE(mq::make_endpoint("tcp://", 1883));
  EXPECT_FALSE(mq::make_endpoint("broker", -1));
  EXPECT_FALSE(mq::make_endpoint("broker", 65536));
}

TEST(MqttEndpoint, ClientIdsNameTheProcessAndTellDriversApart) {
  const std::string pid = std::to_string(::getpid());
  EXPECT_EQ(mq::make_client_id(0), "KESTREL_" + pid);
  EXPECT_EQ(mq::make_client_id(3), "KESTREL_" + pid + "_3");
}

TEST(MqttTopics, NamesTheLibraryCanCarry) {
  EXPECT_TRUE(mq::valid_publish_topic("plant/line1/speed"));
  EXPECT_TRUE(mq::valid_publish_topic("/"));
  EXPECT_FALSE(mq::valid_publish_topic(""));
  EXPECT_FALSE(mq::valid_publish_topic("a/+/b"));
  EXPECT_FALSE(mq::valid_publish_topic("a/#"));
  EXPECT_FALSE(mq::valid_publish_topic(std::string("a\0b", 3)));
  EXPECT_FALSE(mq::valid_publish_topic(std::string(65'536, 'x')));
  EXPECT_TRUE(mq::valid_publish_topic(std::string(65'535, 'x')));
  EXPECT_FALSE(mq::valid_subscribe_topic("#"));
  EXPECT_TRUE(mq::valid_subscribe_topic("a/b"));
}

}  // namespace
}  // namespace kvt::test
