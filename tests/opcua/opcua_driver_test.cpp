// The OPC UA driver against open62541's server on loopback. The page's side
// is played for real: "ServerConnect", "BindingTables" and "ServerStatus"
// over the command server's WebSocket, values through the signal buffer
// against the exchange thread. A wire tap between driver and server counts
// the Read and Write service calls.
#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <string>
#include <vector>

#include "opcua/opcua_server.hpp"
#include "opcua/opcua_wire_tap.hpp"
#include "plc/driver_registry.hpp"
#include "plc/opcua/driver.hpp"
#include "plc/value_type.hpp"
#include "support/driver_session.hpp"
#include "support/ws_client.hpp"

namespace kvt::test {
namespace {

namespace vt = kvt::plc::value_type;
using plc::make_tag;

constexpr auto reconnect_budget = std::chrono::seconds(20);

std::int32_t bits_of(float f) { return plc::float_to_slot(f); }

// One bound signal: its node id and value type.
struct binding {
  std::string node;
  std::uint32_t type;
};

signal_table table_of(const std::vector<binding>& signals) {
  std::vector<named_signal> named;
  for (const binding& b : signals) named.push_back({b.node, make_tag(b.type, 0)});
  return signal_table::of(named);
}

class OpcuaDriver : public ::testing::Test {
 protected:
  ::testing::AssertionResult connect_to(std::uint16_t port, double scan_rate = 0.002) {
    return session.connect(connection(plc::protocol::opcua, port, scan_rate));
  }
  binding_tables tables(const std::vector<binding>& inputs, const std::vector<binding>& outputs) const {
    return {.host = host, .inputs = table_of(inputs), .outputs = table_of(outputs)};
  }
  ::testing::AssertionResult bind(const std::vector<binding>& inputs, const std::vector<binding>& outputs) {
    return session.bind(tables(inputs, outputs));
  }
  plc::opcua::driver& driver() { return session.driver<plc::opcua::driver>(host); }

  const std::string host = "127.0.0.1";
  driver_session session;
};

// One variable of each type for the outputs and one for the inputs.
void add_typed_variables(opcua_test_server& server) {
  server.add<UA_Boolean>("ns=2;s=out.bool", UA_TYPES_BOOLEAN, true);
  server.add<UA_Byte>("ns=2;s=out.byte", UA_TYPES_BYTE, 0xAB);
  server.add<UA_UInt16>("ns=2;s=out.uint16", UA_TYPES_UINT16, 0xBEEF);
  server.add<UA_UInt32>("ns=2;s=out.uint32", UA_TYPES_UINT32, 0xDEADBEEF);
  server.add<UA_SByte>("ns=2;s=out.sbyte", UA_TYPES_SBYTE, -2);
  server.add<UA_Int16>("ns=2;s=out.int16", UA_TYPES_INT16, -300);
  server.add<UA_Int32>("ns=2;s=out.int32", UA_TYPES_INT32, -70000);
  server.add<UA_Float>("ns=2;s=out.float", UA_TYPES_FLOAT, 3.5f);
  server.add<UA_Double>("ns=2;s=out.double", UA_TYPES_DOUBLE, -1234.25);
  server.add<UA_Boolean>("ns=2;s=in.bool", UA_TYPES_BOOLEAN, false);
  server.add<UA_Byte>("ns=2;s=in.byte", UA_TYPES_BYTE, 0);
  server.add<UA_UInt16>("ns=2;s=in.uint16", UA_TYPES_UINT16, 0);
  server.add<UA_UInt32>("ns=2;s=in.uint32", UA_TYPES_UINT32, 0);
  server.add<UA_SByte>("ns=2;s=in.sbyte", UA_TYPES_SBYTE, 0);
  server.add<UA_Int16>("ns=2;s=in.int16", UA_TYPES_INT16, 0);
  server.add<UA_Int32>("ns=2;s=in.int32", UA_TYPES_INT32, 0);
  server.add<UA_Float>("ns=2;s=in.float", UA_TYPES_FLOAT, 0);
  server.add<UA_Double>("ns=2;s=in.double", UA_TYPES_DOUBLE, 0);
}

const std::vector<binding> typed_outputs{
    {"ns=2;s=out.bool", vt::boolean}, {"ns=2;s=out.byte", vt::u8},   {"ns=2;s=out.uint16", vt::u16},
    {"ns=2;s=out.uint32", vt::u32},   {"ns=2;s=out.sbyte", vt::s8},  {"ns=2;s=out.int16", vt::s16},
    {"ns=2;s=out.int32", vt::s32},    {"ns=2;s=out.float", vt::real}, {"ns=2;s=out.double", vt::lreal}};
const std::vector<binding> typed_inputs{
    {"ns=2;s=in.bool", vt::boolean}, {"ns=2;s=in.byte", vt::u8},   {"ns=2;s=in.uint16", vt::u16},
    {"ns=2;s=in.uint32", vt::u32},   {"ns=2;s=in.sbyte", vt::s8},  {"ns=2;s=in.int16", vt::s16},
    {"ns=2;s=in.int32", vt::s32},    {"ns=2;s=in.float", vt::real}, {"ns=2;s=in.double", vt::lreal}};

TEST_F(OpcuaDriver, EveryValueTypeRoundTripsThroughTheSignalBuffer) {
  opcua_test_server server;
  add_typed_variables(server);
  ASSERT_TRUE(connect_to(server.port()));
  EXPECT_TRUE(session.status());
  ASSERT_TRUE(bind(typed_inputs, typed_outputs));

  EXPECT_TRUE(session.eventually_seen({1, 0xAB, 0xBEEF, static_cast<std::int32_t>(0xDEADBEEF), 0xFE, 0xFED4, -70000,
                                       bits_of(3.5f), bits_of(-1234.25f)}))
      << ::testing::PrintToString(session.view());

  // A BOOL of 2 is true; narrow slots carry junk above their width.
  ASSERT_TRUE(session.deliver({{0, 2}, {1, 0x1C5}, {2, 0x71234}, {3, static_cast<std::int32_t>(0xCAFEBABE)},
                               {4, 0xFE}, {5, 0xFFFF8001}, {6, -123456}, {7, bits_of(-1.5f)}, {8, bits_of(6.25f)}}));
  EXPECT_TRUE(eventually([&] { return server.value<UA_Boolean>("ns=2;s=in.bool", UA_TYPES_BOOLEAN); }));
  EXPECT_TRUE(eventually([&] { return server.value<UA_Byte>("ns=2;s=in.byte", UA_TYPES_BYTE) == 0xC5; }));
  EXPECT_TRUE(eventually([&] { return server.value<UA_UInt16>("ns=2;s=in.uint16", UA_TYPES_UINT16) == 0x1234; }));
  EXPECT_TRUE(
      eventually([&] { return server.value<UA_UInt32>("ns=2;s=in.uint32", UA_TYPES_UINT32) == 0xCAFEBABE; }));
  EXPECT_TRUE(eventually([&] { return server.value<UA_SByte>("ns=2;s=in.sbyte", UA_TYPES_SBYTE) == -2; }));
  EXPECT_TRUE(eventually([&] { return server.value<UA_Int16>("ns=2;s=in.int16", UA_TYPES_INT16) == -32767; }));
  EXPECT_TRUE(eventually([&] { return server.value<UA_Int32>("ns=2;s=in.int32", UA_TYPES_INT32) == -123456; }));
  EXPECT_TRUE(eventually([&] { return server.value<UA_Float>("ns=2;s=in.float", UA_TYPES_FLOAT) == -1.5f; }));
  EXPECT_TRUE(eventually([&] { return server.value<UA_Double>("ns=2;s=in.double", UA_TYPES_DOUBLE) == 6.25; }));

  // Values changed on the server reach the page.
  server.set<UA_Int32>("ns=2;s=out.int32", UA_TYPES_INT32, 42);
  server.set<UA_Boolean>("ns=2;s=out.bool", UA_TYPES_BOOLEAN, false);
  server.set<UA_Double>("ns=2;s=out.double", UA_TYPES_DOUBLE, 0.5);
  EXPECT_TRUE(session.eventually_seen(
      {0, 0xAB, 0xBEEF, static_cast<std::int32_t>(0xDEADBEEF), 0xFE, 0xFED4, 42, bits_of(3.5f), bits_of(0.5f)}))
      << ::testing::PrintToString(session.view());
}

TEST_F(OpcuaDriver, ANodeReadWithAnotherTypeShowsItsValue) {
  opcua_test_server server;
  server.add<UA_Double>("ns=2;s=d", UA_TYPES_DOUBLE, 1234.5);
  server.add<UA_Int64>("ns=2;s=i64", UA_TYPES_INT64, 0x1'2345'6789);
  server.add<UA_UInt64>("ns=2;s=u64", UA_TYPES_UINT64, 0xFFFF'FFFF'FFFF'FFFEull);
  server.add<UA_Float>("ns=2;s=f", UA_TYPES_FLOAT, -7.9f);
  ASSERT_TRUE(connect_to(server.port()));
  ASSERT_TRUE(bind({}, {{"ns=2;s=d", vt::real}, {"ns=2;s=i64", vt::u32}, {"ns=2;s=u64", vt::s32},
                        {"ns=2;s=f", vt::s16}, {"ns=2;s=d", vt::lreal}}));
  EXPECT_TRUE(session.eventually_seen({bits_of(1234.5f), 0x23456789, -2, 0xFFF9, bits_of(1234.5f)}))
      << ::testing::PrintToString(session.view());
}

TEST_F(OpcuaDriver, NodeIdsInEveryFormAddressTheirNodes) {
  opcua_test_server server;
  server.add<UA_Int32>("ns=2;i=1001", UA_TYPES_INT32, 11);
  server.add<UA_Int32>("ns=2;s=Line1.Speed", UA_TYPES_INT32, 22);
  server.add<UA_Int32>("ns=2;g=09087e75-8e5e-499b-954f-f2a9603db28a", UA_TYPES_INT32, 33);
  server.add<UA_Int32>("ns=2;b=S2VzdHJlbA==", UA_TYPES_INT32, 44);
  server.add<UA_Int32>("ns=1;i=7", UA_TYPES_INT32, 55);
  server.add<UA_Int32>("ns=2;s=Line1.Target", UA_TYPES_INT32, 0);
  server.add<UA_Int32>("ns=2;g=11111111-2222-3333-4444-555555555555", UA_TYPES_INT32, 0);
  ASSERT_TRUE(connect_to(server.port()));

  // A name that is not a node id: the page hears of it, the binding stands,
  // and every other signal works.
  const std::vector<binding> outputs{{"ns=2;i=1001", vt::s32},
                                     {"ns=2;s=Line1.Speed", vt::s32},
                                     {"ns=2;g=09087e75-8e5e-499b-954f-f2a9603db28a", vt::s32},
                                     {"ns=2;b=S2VzdHJlbA==", vt::s32},
                                     {"Line1.Speed", vt::s32},
                                     {"ns=1;i=7", vt::s32},
                                     {"ns=2;s=NoSuchNode", vt::s32}};
  const std::vector<binding> inputs{{"ns=2;s=Line1.Target", vt::s32},
                                    {"ns=2;x=oops", vt::s32},
                                    {"ns=2;g=11111111-2222-3333-4444-555555555555", vt::s32}};
  session.send("BindingTables", binding_json(tables(inputs, outputs)));
  EXPECT_EQ(session.reply(),
            R"({"type":"Log","level":"error","message":"Failed to parse OPC UA node id: ns=2;x=oops"})");
  EXPECT_EQ(session.reply(),
            R"({"type":"Log","level":"error","message":"Failed to parse OPC UA node id: Line1.Speed"})");
  EXPECT_EQ(session.reply(), session.true_reply());

  EXPECT_TRUE(session.eventually_seen({11, 22, 33, 44, 0, 55, 0})) << ::testing::PrintToString(session.view());
  ASSERT_TRUE(session.deliver({{0, 100}, {1, 200}, {2, 300}}));
  EXPECT_TRUE(eventually([&] { return server.value<UA_Int32>("ns=2;s=Line1.Target", UA_TYPES_INT32) == 100; }));
  EXPECT_TRUE(eventually([&] {
    return server.value<UA_Int32>("ns=2;g=11111111-2222-3333-4444-555555555555", UA_TYPES_INT32) == 300;
  }));
  server.set<UA_Int32>("ns=2;b=S2VzdHJlbA==", UA_TYPES_INT32, 45);
  EXPECT_TRUE(session.eventually_seen({11, 22, 33, 45, 0, 55, 0})) << ::testing::PrintToString(session.view());
  EXPECT_TRUE(session.status());
}

TEST_F(OpcuaDriver, OneReadPerCycleCarriesEveryOutputAndOneWriteCarriesEveryChange) {
  opcua_test_server server;
  constexpr int output_count = 60;
  constexpr int input_count = 25;
  std::vector<binding> outputs, inputs;
  std::vector<std::int32_t> expected;
  for (int i = 0; i < output_count; ++i) {
    const std::string id = "ns=2;i=" + std::to_string(5000 + i);
    server.add<UA_Int32>(id, UA_TYPES_INT32, i * 3);
    outputs.push_back({id, vt::s32});
    expected.push_back(i * 3);
  }
  for (int i = 0; i < input_count; ++i) {
    const std::string id = "ns=2;i=" + std::to_string(8000 + i);
    server.add<UA_Int32>(id, UA_TYPES_INT32, -1);
    inputs.push_back({id, vt::s32});
  }
  opcua_wire_tap tap(server.port());
  ASSERT_TRUE(connect_to(tap.port()));
  ASSERT_TRUE(bind(inputs, outputs));
  ASSERT_TRUE(session.eventually_seen(expected));

  // The freshly bound inputs went out once, all in one request.
  ASSERT_TRUE(eventually([&] { return tap.count(ua_request::service::write) == 1; }));
  for (const ua_request& r : tap.requests()) {
    if (r.kind == ua_request::service::write) {
      EXPECT_EQ(r.nodes, static_cast<std::size_t>(input_count));
    }
  }

  // Cycles without a changed input send no Write, and each Read carries
  // every output.
  tap.clear();
  ASSERT_TRUE(eventually([&] { return tap.count(ua_request::service::read) >= 20; }));
  EXPECT_EQ(tap.count(ua_request::service::write), 0u);
  for (const ua_request& r : tap.requests()) EXPECT_EQ(r.nodes, static_cast<std::size_t>(output_count));

  // One Read per cycle: the driver's own count of cycles with a read phase
  // matches what crossed the wire.
  const std::uint64_t reads_before = driver().reads_sent();
  tap.clear();
  ASSERT_TRUE(eventually([&] { return tap.count(ua_request::service::read) >= 20; }));
  const std::uint64_t reads_after = driver().reads_sent();
  const std::size_t seen = tap.count(ua_request::service::read);
  EXPECT_GE(reads_after - reads_before, seen - 1);
  EXPECT_LE(reads_after - reads_before, seen + 1);

  // Every input changes in one exchange: one Write carries them all.
  tap.clear();
  pair_list changes;
  for (int i = 0; i < input_count; ++i) changes.emplace_back(static_cast<std::uint32_t>(i), 1000 + i);
  ASSERT_TRUE(session.deliver(changes));
  const std::string last = "ns=2;i=" + std::to_string(8000 + input_count - 1);
  ASSERT_TRUE(eventually([&] { return server.value<UA_Int32>(last, UA_TYPES_INT32) == 1000 + input_count - 1; }));
  ASSERT_TRUE(eventually([&] { return tap.count(ua_request::service::read) >= 5; }));
  std::size_t writes = 0;
  for (const ua_request& r : tap.requests())
    if (r.kind == ua_request::service::write) {
      ++writes;
      EXPECT_EQ(r.nodes, static_cast<std::size_t>(input_count));
    }
  EXPECT_EQ(writes, 1u);
  for (int i = 0; i < input_count; ++i)
    EXPECT_EQ(server.value<UA_Int32>("ns=2;i=" + std::to_string(8000 + i), UA_TYPES_INT32), 1000 + i);
}

TEST_F(OpcuaDriver, AStoppedServerShowsAsDisconnectedAndARestartedOneResumesWithTheBindings) {
  opcua_test_server server;
  server.add<UA_Int32>("ns=2;s=count", UA_TYPES_INT32, 1);
  server.add<UA_Int32>("ns=2;s=setpoint", UA_TYPES_INT32, 0);
  ASSERT_TRUE(connect_to(server.port()));
  ASSERT_TRUE(bind({{"ns=2;s=setpoint", vt::s32}}, {{"ns=2;s=count", vt::s32}}));
  ASSERT_TRUE(session.eventually_seen({1}));
  ASSERT_TRUE(session.deliver({{0, 5}}));
  ASSERT_TRUE(eventually([&] { return server.value<UA_Int32>("ns=2;s=setpoint", UA_TYPES_INT32) == 5; }));

  server.stop();
  EXPECT_TRUE(eventually([&] { return !session.status(); }));
  // A change made while the server is away is kept for it.
  ASSERT_TRUE(session.deliver({{0, 6}}));

  server.start();
  server.set<UA_Int32>("ns=2;s=count", UA_TYPES_INT32, 2);
  EXPECT_TRUE(eventually([&] { return session.status(); }, reconnect_budget));
  EXPECT_TRUE(session.eventually_seen({2}, reconnect_budget));
  EXPECT_TRUE(eventually([&] { return server.value<UA_Int32>("ns=2;s=setpoint", UA_TYPES_INT32) == 6; }));
  ASSERT_TRUE(session.deliver({{0, 7}}));
  EXPECT_TRUE(eventually([&] { return server.value<UA_Int32>("ns=2;s=setpoint", UA_TYPES_INT32) == 7; }));
}

TEST_F(OpcuaDriver, NodeIdsMustComeWithTheTagsOnePerTag) {
  opcua_test_server server;
  server.add<UA_Int32>("ns=2;s=v", UA_TYPES_INT32, 3);
  ASSERT_TRUE(connect_to(server.port()));
  const std::uint64_t tag = make_tag(vt::s32, 0);
  const std::string no_names = session.ask(
      "BindingTables", binding_json({.host = host, .inputs = {.tags = {tag}}, .outputs = signal_table::of({})}));
  EXPECT_EQ(no_names,
            "{\"id\":" + std::to_string(session.last_id()) + R"(,"data":false,"error":"Input names invalid"})");
  const std::string too_few = session.ask(
      "BindingTables", binding_json({.host = host,
                                     .inputs = signal_table::of({}),
                                     .outputs = {.tags = {tag, tag}, .names = std::vector<std::string>{"ns=2;s=v"}}}));
  EXPECT_EQ(too_few,
            "{\"id\":" + std::to_string(session.last_id()) + R"(,"data":false,"error":"Output names invalid"})");
  // A rejected table is left empty: nothing is read for it.
  {
    auto& outputs = driver().outputs();
    std::lock_guard lock(outputs.mutex);
    EXPECT_TRUE(outputs.tags.empty());
  }
  ASSERT_TRUE(bind({}, {{"ns=2;s=v", vt::s32}}));
  EXPECT_TRUE(session.eventually_seen({3}));
}

TEST_F(OpcuaDriver, ANodeThatStopsDeliveringKeepsItsLastValueWhileTheOthersUpdate) {
  opcua_test_server server;
  server.add<UA_Int32>("ns=2;s=a", UA_TYPES_INT32, 1);
  server.add<UA_Int32>("ns=2;s=b", UA_TYPES_INT32, 2);
  ASSERT_TRUE(connect_to(server.port()));
  ASSERT_TRUE(bind({}, {{"ns=2;s=a", vt::s32}, {"ns=2;s=b", vt::s32}}));
  ASSERT_TRUE(session.eventually_seen({1, 2}));
  server.remove("ns=2;s=a");
  server.set<UA_Int32>("ns=2;s=b", UA_TYPES_INT32, 3);
  EXPECT_TRUE(session.eventually_seen({1, 3})) << ::testing::PrintToString(session.view());
  const std::uint64_t reads = driver().reads_sent();
  ASSERT_TRUE(eventually([&] { return driver().reads_sent() > reads + 5; }));
  EXPECT_EQ(session.outputs_seen(), (std::vector<std::int32_t>{1, 3}));
  EXPECT_TRUE(session.status());
}

TEST_F(OpcuaDriver, AWriteTheServerRefusesDoesNotHoldUpTheOthers) {
  opcua_test_server server;
  server.add<UA_Int32>("ns=2;s=int32", UA_TYPES_INT32, 0);
  server.add<UA_Int32>("ns=2;s=ok", UA_TYPES_INT32, 0);
  ASSERT_TRUE(connect_to(server.port()));
  // Bound as UInt16, the Int32 node refuses the value (type mismatch).
  ASSERT_TRUE(bind({{"ns=2;s=int32", vt::u16}, {"ns=2;s=ok", vt::s32}}, {}));
  ASSERT_TRUE(session.deliver({{0, 9}, {1, 10}}));
  EXPECT_TRUE(eventually([&] { return server.value<UA_Int32>("ns=2;s=ok", UA_TYPES_INT32) == 10; }));
  ASSERT_TRUE(session.deliver({{1, 11}}));
  EXPECT_TRUE(eventually([&] { return server.value<UA_Int32>("ns=2;s=ok", UA_TYPES_INT32) == 11; }));
  EXPECT_EQ(server.value<UA_Int32>("ns=2;s=int32", UA_TYPES_INT32), 0);
  EXPECT_TRUE(session.status());
}

TEST_F(OpcuaDriver, ConnectingToNoServerFailsAndLeavesNoDriver) {
  const std::uint16_t port = free_port();
  EXPECT_FALSE(connect_to(port));
  EXPECT_EQ(plc::registry().find(host), nullptr);
  EXPECT_FALSE(session.status());
}

TEST_F(OpcuaDriver, DisconnectStopsTheScanAndConnectResumesIt) {
  opcua_test_server server;
  server.add<UA_Int32>("ns=2;s=v", UA_TYPES_INT32, 9);
  ASSERT_TRUE(connect_to(server.port()));
  ASSERT_TRUE(bind({}, {{"ns=2;s=v", vt::s32}}));
  ASSERT_TRUE(session.eventually_seen({9}));
  driver().disconnect();
  EXPECT_FALSE(driver().scanning());
  EXPECT_FALSE(session.status());
  server.set<UA_Int32>("ns=2;s=v", UA_TYPES_INT32, 10);
  ASSERT_TRUE(connect_to(server.port()));
  EXPECT_TRUE(session.status());
  EXPECT_TRUE(session.eventually_seen({10}));
}

}  // namespace
}  // namespace kvt::test
