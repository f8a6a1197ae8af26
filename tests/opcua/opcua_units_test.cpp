// The OPC UA driver's helpers on their own: endpoint URLs, node id parsing,
// value conversion both ways, and the connection record it returns.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "plc/opcua/driver.hpp"
#include "plc/opcua/endpoint.hpp"
#include "plc/opcua/node_id.hpp"
#include "plc/opcua/value_codec.hpp"
#include "plc/value_type.hpp"

namespace kvt::plc::opcua {
namespace {

namespace vt = plc::value_type;

TEST(OpcuaEndpoint, SchemeIsAddedAndPortAppended) {
  EXPECT_EQ(endpoint_url("192.168.0.20", 4840), "opc.tcp://192.168.0.20:4840");
  EXPECT_EQ(endpoint_url("opc.tcp://server", 4840), "opc.tcp://server:4840");
  EXPECT_EQ(endpoint_url("localhost", 0), "opc.tcp://localhost:4840");
  EXPECT_EQ(endpoint_url("opc.tcp://server/ua/plant", 48010), "opc.tcp://server:48010/ua/plant");
}

TEST(OpcuaEndpoint, APortInTheHostIsKeptRatherThanDoubled) {
  EXPECT_EQ(endpoint_url("opc.tcp://server:4841", 4840), "opc.tcp://server:4841");
  EXPECT_EQ(endpoint_url("server:4841/path", 4840), "opc.tcp://server:4841/path");
  EXPECT_EQ(endpoint_url("[::1]:4841", 4840), "opc.tcp://[::1]:4841");
  EXPECT_EQ(endpoint_url("[::1]", 4840), "opc.tcp://[::1]:4840");
  EXPECT_EQ(endpoint_url("::1", 4840), "opc.tcp://[::1]:4840");
}

TEST(OpcuaEndpoint, UnusableHostsAndPortsMakeNoUrl) {
  EXPECT_FALSE(endpoint_url("", 4840));
  EXPECT_FALSE(endpoint_url("opc.tcp://", 4840));
  EXPECT_FALSE(endpoint_url("server", -1));
  EXPECT_FALSE(endpoint_url("server", 70000));
  EXPECT_FALSE(endpoint_url("server:99999", 4840));
  EXPECT_FALSE(endpoint_url("server:abc", 4840));
  EXPECT_FALSE(endpoint_url("opc.tcp:server", 4840));
}

TEST(OpcuaNodeId, EveryStandardFormParses) {
  const handle_ptr numeric = parse_node_id("ns=2;i=1001");
  ASSERT_TRUE(numeric->valid());
  EXPECT_EQ(numeric->id().identifierType, UA_NODEIDTYPE_NUMERIC);
  EXPECT_EQ(numeric->id().namespaceIndex, 2);
  EXPECT_EQ(numeric->id().identifier.numeric, 1001u);

  const handle_ptr text = parse_node_id("ns=1;s=Line1.Speed");
  ASSERT_TRUE(text->valid());
  EXPECT_EQ(text->id().identifierType, UA_NODEIDTYPE_STRING);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(text->id().identifier.string.data),
                        text->id().identifier.string.length),
            "Line1.Speed");

  const handle_ptr guid = parse_node_id("ns=3;g=09087e75-8e5e-499b-954f-f2a9603db28a");
  ASSERT_TRUE(guid->valid());
  EXPECT_EQ(guid->id().identifierType, UA_NODEIDTYPE_GUID);

  const handle_ptr opaque = parse_node_id("ns=1;b=S2VzdHJlbA==");
  ASSERT_TRUE(opaque->valid());
  EXPECT_EQ(opaque->id().identifierType, UA_NODEIDTYPE_BYTESTRING);
  EXPECT_EQ(opaque->id().identifier.byteString.length, 7u);  // "Kestrel"

  EXPECT_TRUE(parse_node_id("i=2258")->valid());
}

TEST(OpcuaNodeId, TextThatIsNotANodeIdGivesAnInvalidHandle) {
  EXPECT_FALSE(parse_node_id("")->valid());
  EXPECT_FALSE(parse_node_id("Line1.Speed")->valid());
  EXPECT_FALSE(parse_node_id("ns=2;x=5")->valid());
  EXPECT_FALSE(parse_node_id("ns=2;i=notanumber")->valid());
  EXPECT_FALSE(parse_node_id("ns=0;i=0")->valid()) << "the null node id addresses nothing";
  // A name is not NUL-terminated on its way in: only its bytes count.
  const std::string longer = "ns=1;i=5;junk";
  EXPECT_FALSE(parse_node_id(std::string_view(longer).substr(0, 6))->valid());
}

// Encodes a slot and reads the variant back as the staged number.
staged_value round(std::uint32_t type, std::int32_t slot, const UA_DataType*& written) {
  scalar_storage storage{};
  UA_Variant v;
  EXPECT_TRUE(encode_slot(type, slot, storage, v));
  written = v.type;
  return stage_variant(v);
}

TEST(OpcuaValues, EachValueTypeIsWrittenAsItsVariantType) {
  const UA_DataType* t = nullptr;
  EXPECT_EQ(round(vt::boolean, 0x102, t).integer, 1);
  EXPECT_EQ(t, &UA_TYPES[UA_TYPES_BOOLEAN]);
  EXPECT_EQ(round(vt::boolean, 0x100, t).integer, 0) << "only the low byte counts";
  EXPECT_EQ(round(vt::u8, 0x1FE, t).integer, 0xFE);
  EXPECT_EQ(t, &UA_TYPES[UA_TYPES_BYTE]);
  EXPECT_EQ(round(vt::u16, 0x1FFFE, t).integer, 0xFFFE);
  EXPECT_EQ(t, &UA_TYPES[UA_TYPES_UINT16]);
  EXPECT_EQ(round(vt::u32, -1, t).integer, 0xFFFFFFFF);
  EXPECT_EQ(t, &UA_TYPES[UA_TYPES_UINT32]);
  EXPECT_EQ(round(vt::s8, 0xFE, t).integer, -2);
  EXPECT_EQ(t, &UA_TYPES[UA_TYPES_SBYTE]);
  EXPECT_EQ(round(vt::s16, 0xFFFE, t).integer, -2);
  EXPECT_EQ(t, &UA_TYPES[UA_TYPES_INT16]);
  EXPECT_EQ(round(vt::s32, -7, t).integer, -7);
  EXPECT_EQ(t, &UA_TYPES[UA_TYPES_INT32]);
  EXPECT_EQ(round(vt::real, float_to_slot(2.5f), t).real, 2.5);
  EXPECT_EQ(t, &UA_TYPES[UA_TYPES_FLOAT]);
  EXPECT_EQ(round(vt::lreal, float_to_slot(-0.25f), t).real, -0.25);
  EXPECT_EQ(t, &UA_TYPES[UA_TYPES_DOUBLE]);

  scalar_storage storage{};
  UA_Variant v;
  EXPECT_FALSE(encode_slot(0, 1, storage, v));
  EXPECT_FALSE(encode_slot(10, 1, storage, v));
}

staged_value integer(std::int64_t i) { return {staged_value::kind::integer, i, 0}; }
staged_value real(double d) { return {staged_value::kind::real, 0, d}; }

TEST(OpcuaValues, ReadValuesAreStoredByTheBoundType) {
  EXPECT_EQ(store_value(vt::boolean, integer(1), 0x7700), 0x7701);
  EXPECT_EQ(store_value(vt::u8, integer(0xAB), 0x7700), 0x77AB) << "only the low byte is replaced";
  EXPECT_EQ(store_value(vt::s8, integer(-2), 0), 0xFE);
  EXPECT_EQ(store_value(vt::u16, integer(0xBEEF), 0x11110000), 0x1111BEEF);
  EXPECT_EQ(store_value(vt::s16, integer(-3), 0), 0xFFFD);
  EXPECT_EQ(store_value(vt::u32, integer(0xDEADBEEF), 0), static_cast<std::int32_t>(0xDEADBEEF));
  EXPECT_EQ(store_value(vt::s32, integer(-5), 0), -5);
  EXPECT_EQ(store_value(vt::real, real(1.5), 0), float_to_slot(1.5f));
  EXPECT_EQ(store_value(vt::lreal, real(3.25), 0), float_to_slot(3.25f));
}

TEST(OpcuaValues, AMismatchedTypeConvertsTheValueNotItsBits) {
  // A Double bound as REAL shows the number, not half of the double's bits.
  EXPECT_EQ(store_value(vt::real, real(1234.5), 0), float_to_slot(1234.5f));
  EXPECT_EQ(store_value(vt::real, integer(42), 0), float_to_slot(42.0f));
  EXPECT_EQ(store_value(vt::s32, real(-7.9), 0), -7);
  EXPECT_EQ(store_value(vt::u8, real(300.0), 0), 255);
  EXPECT_EQ(store_value(vt::s16, real(-1e9), 0), 0x8000);
  EXPECT_EQ(store_value(vt::s32, real(std::numeric_limits<double>::quiet_NaN()), 9), 0);
  EXPECT_EQ(store_value(vt::boolean, real(0.5), 0), 1);
  // 64-bit integers keep their low 32 bits.
  EXPECT_EQ(store_value(vt::u32, integer(0x1'2345'6789), 0), 0x23456789);
  EXPECT_EQ(store_value(vt::s32, integer(-1), 0), -1);
}

TEST(OpcuaValues, NothingReadLeavesTheSlot) {
  EXPECT_EQ(store_value(vt::s32, staged_value{}, 77), 77);
  EXPECT_EQ(store_value(12, integer(5), 77), 77);
  UA_Variant empty;
  UA_Variant_init(&empty);
  EXPECT_EQ(stage_variant(empty).what, staged_value::kind::none);
  UA_String s = UA_STRING(const_cast<char*>("text"));
  UA_Variant text;
  UA_Variant_setScalar(&text, &s, &UA_TYPES[UA_TYPES_STRING]);
  EXPECT_EQ(stage_variant(text).what, staged_value::kind::none);
  UA_Int32 array[2] = {1, 2};
  UA_Variant arr;
  UA_Variant_setArray(&arr, array, 2, &UA_TYPES[UA_TYPES_INT32]);
  EXPECT_EQ(stage_variant(arr).what, staged_value::kind::none);
}

TEST(OpcuaDriverRecord, ParametersCarryProtocolHostPortAndScanRateOnly) {
  driver d;
  EXPECT_EQ(d.protocol(), 6);
  connection_params p;
  p.protocol = 6;
  p.host = "opc.tcp://plant";
  p.port = 4841;
  p.scan_rate = 0.01;
  p.username = "ignored";
  p.rack = 3;
  d.configure(p);
  connection_params expected;
  expected.protocol = 6;
  expected.host = "opc.tcp://plant";
  expected.port = 4841;
  expected.scan_rate = 0.01;
  EXPECT_EQ(d.parameters(), expected);
  EXPECT_EQ(d.host(), "opc.tcp://plant");
  EXPECT_EQ(d.endpoint(), "opc.tcp://plant:4841");
  EXPECT_FALSE(d.connected());
}

TEST(OpcuaDriverRecord, ANewDriverUsesPort4840AndFiftyMilliseconds) {
  driver d;
  EXPECT_EQ(d.parameters().port, 4840);
  EXPECT_DOUBLE_EQ(d.parameters().scan_rate, 0.05);
  d.disconnect();  // safe when never connected
  EXPECT_FALSE(d.connected());
}

}  // namespace
}  // namespace kvt::plc::opcua
