// The EtherNet/IP driver end to end: "ServerConnect", "BindingTables",
// "ServerStatus" and "ListTags" over the command server's WebSocket, values
// through the signal buffer against the exchange thread, and the simulator
// as the controller (reached as "127.0.0.1:PORT").
#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "eip/eip_simulator.hpp"
#include "plc/eip/driver.hpp"
#include "plc/value_type.hpp"
#include "support/driver_session.hpp"
#include "support/eventually.hpp"

namespace kvt::test {
namespace {

namespace vt = kvt::plc::value_type;
using flavour = eip_simulator::flavour;
using std::chrono::seconds;

std::uint64_t typed(std::uint32_t type) { return plc::make_tag(type, 0); }
std::int32_t bits_of(float f) { return plc::float_to_slot(f); }

class EipDriver : public ::testing::Test {
 protected:
  eip_simulator& simulator(flavour kind = flavour::logix) {
    controller.emplace(kind);
    return *controller;
  }
  std::string gateway() const { return "127.0.0.1:" + std::to_string(controller->port()); }

  ::testing::AssertionResult connect_eip(std::string type, std::string path = {}) {
    plc::connection_params p = connection(plc::protocol::eip, 0);
    p.host = gateway();
    p.type = std::move(type);
    p.path = std::move(path);
    return session.connect(p);
  }
  ::testing::AssertionResult bind(const std::vector<named_signal>& inputs, const std::vector<named_signal>& outputs) {
    binding_tables t;
    t.host = gateway();
    t.inputs = signal_table::of(inputs);
    t.outputs = signal_table::of(outputs);
    return session.bind(t);
  }
  // The reply with its id replaced by 0, so that tables can compare it.
  std::string list_tags(std::string_view data) {
    std::string reply = session.ask("ListTags", data);
    const std::string id = "{\"id\":" + std::to_string(session.last_id()) + ',';
    if (reply.starts_with(id)) reply.replace(0, id.size(), "{\"id\":0,");
    return reply;
  }

  std::optional<eip_simulator> controller;
  // After the simulator: the drivers go first.
  driver_session session{seconds(30)};
};

TEST_F(EipDriver, EveryValueTypeCrossesBothWays) {
  auto& s = simulator();
  s.load_default_tags();
  s.set_int32("Counter", -123456);
  s.set_float("Program:Main.Speed", 1450.5f);
  const struct {
    const char* name;
    std::uint8_t cip;
    std::uint32_t type;
    std::int32_t slot;  // written through the page
  } inputs[] = {{"InBool", cip_type::boolean, vt::boolean, 1},  {"InU8", cip_type::usint, vt::u8, 200},
                {"InU16", cip_type::uint, vt::u16, 60000},      {"InU32", cip_type::udint, vt::u32, -2},
                {"InS8", cip_type::sint, vt::s8, -100},         {"InS16", cip_type::int_, vt::s16, -30000},
                {"InS32", cip_type::dint, vt::s32, -7654321},   {"InReal", cip_type::real, vt::real, bits_of(2.5f)},
                {"InLreal", cip_type::lreal, vt::lreal, bits_of(-0.75f)}};
  std::vector<named_signal> in;
  for (const auto& i : inputs) {
    s.add_tag(i.name, i.cip);
    in.push_back({i.name, typed(i.type)});
  }
  const std::vector<named_signal> out = {{"Counter", typed(vt::s32)},          {"Temperature", typed(vt::real)},
                                         {"Running", typed(vt::boolean)},      {"Small", typed(vt::s8)},
                                         {"Level", typed(vt::s16)},            {"Precise", typed(vt::lreal)},
                                         {"Program:Main.Speed", typed(vt::real)}, {"Arr[3]", typed(vt::s32)}};
  ASSERT_TRUE(connect_eip("controllogix", "1,0"));
  ASSERT_TRUE(bind(in, out));
  EXPECT_TRUE(session.eventually_seen({-123456, bits_of(21.5f), 1, -5, 1200, bits_of(3.25f), bits_of(1450.5f), 30}))
      << ::testing::PrintToString(session.view());

  pair_list pairs;
  for (std::uint32_t i = 0; i < std::size(inputs); ++i) pairs.emplace_back(i, inputs[i].slot);
  ASSERT_TRUE(session.deliver(pairs));
  EXPECT_TRUE(eventually([&] { return s.get_float("InLreal") == -0.75f && s.get_int32("InS32") == -7654321; }));
  EXPECT_TRUE(s.get_bool("InBool"));
  const std::vector<std::uint8_t> expected[] = {{200}, {0x60, 0xEA}, {0xFE, 0xFF, 0xFF, 0xFF}, {0x9C}, {0xD0, 0x8A}};
  const char* raw_names[] = {"InU8", "InU16", "InU32", "InS8", "InS16"};
  for (std::size_t i = 0; i < std::size(raw_names); ++i) EXPECT_EQ(s.get_bytes(raw_names[i]), expected[i]) << raw_names[i];
  EXPECT_EQ(s.get_float("InReal"), 2.5f);
  EXPECT_DOUBLE_EQ(s.get_double("InLreal"), -0.75);

  // One changed input: every input tag is written again in that cycle.
  const std::size_t writes = s.requests(0x4D);
  ASSERT_TRUE(session.deliver({{6, 42}}));
  EXPECT_TRUE(eventually([&] { return s.get_int32("InS32") == 42; }));
  EXPECT_GE(s.requests(0x4D) - writes, std::size(inputs));
  EXPECT_EQ(s.sessions_registered(), 1u);
}

TEST_F(EipDriver, EachControllerFamilyConnectsWithItsOwnRoute) {
  const struct {
    flavour kind;
    const char* type;
  } families[] = {{flavour::logix, "controllogix"}, {flavour::micro800, "micro800"}, {flavour::omron, "omron-njnx"}};
  for (const auto& f : families) {
    auto& s = simulator(f.kind);
    s.load_default_tags();
    s.set_int32("Counter", 77);
    // No path from the page: "1,0", none for micro800.
    ASSERT_TRUE(connect_eip(f.type)) << f.type;
    ASSERT_TRUE(bind({}, {{"Counter", typed(vt::s32)}})) << f.type;
    EXPECT_TRUE(session.eventually_seen({77})) << f.type;
    const std::string gone = session.ask("ServerDisconnect", "{\"protocol\":2,\"type\":\"\",\"host\":\"" + gateway() +
                                                             "\",\"port\":0,\"unitId\":0,\"flags\":0,\"rack\":0,"
                                                             "\"slot\":0,\"scanRate\":0.05}");
    EXPECT_EQ(gone, session.true_reply()) << f.type;
  }
}

TEST_F(EipDriver, AnUnknownNameRejectsTheBindingAndALostControllerDisconnects) {
  auto& s = simulator();
  s.load_default_tags();
  ASSERT_TRUE(connect_eip("controllogix"));
  binding_tables t;
  t.host = gateway();
  t.inputs = signal_table::of({});
  t.outputs = signal_table::of({{"Counter", typed(vt::s32)}, {"NoSuchTag", typed(vt::s32)}});
  const auto started = std::chrono::steady_clock::now();
  const std::string refused = session.ask("BindingTables", binding_json(t));
  EXPECT_EQ(refused, "{\"id\":" + std::to_string(session.last_id()) + ",\"data\":false,\"error\":\"Output names invalid\"}");
  EXPECT_GE(std::chrono::steady_clock::now() - started, seconds(5));

  ASSERT_TRUE(bind({}, {{"Counter", typed(vt::s32)}}));
  s.set_int32("Counter", 5);
  ASSERT_TRUE(session.eventually_seen({5}));
  s.stop();
  EXPECT_TRUE(eventually([&] { return !session.status(gateway()); }, seconds(20)));
  s.start();
  s.set_int32("Counter", 6);
  ASSERT_TRUE(connect_eip("controllogix"));
  ASSERT_TRUE(bind({}, {{"Counter", typed(vt::s32)}}));
  EXPECT_TRUE(session.eventually_seen({6}));
}

TEST_F(EipDriver, AControllerThatRefusesPackingStillExchangesEveryValue) {
  auto& s = simulator();
  s.load_default_tags();
  s.set_multiple_service(false);
  std::vector<named_signal> out;
  std::vector<std::int32_t> expected;
  for (int i = 0; i < 20; ++i) {
    out.push_back({"Buffer[" + std::to_string(i * 7) + "]", typed(vt::s32)});
    expected.push_back(i * 7);
  }
  ASSERT_TRUE(connect_eip("controllogix"));
  ASSERT_TRUE(bind({}, out));
  EXPECT_TRUE(session.eventually_seen(expected));
  EXPECT_TRUE(session.status(gateway()));
}

TEST_F(EipDriver, ListTagsNamesWhatCanBeBoundInListingOrder) {
  auto& s = simulator();
  s.load_default_tags();
  ASSERT_TRUE(connect_eip("controllogix"));
  ASSERT_TRUE(bind({}, {{"Counter", typed(vt::s32)}}));
  const std::string request =
      "{\"protocol\":2,\"type\":\"controllogix\",\"host\":\"" + gateway() + "\",\"port\":44818}";
  const auto t = [](std::uint32_t type) { return std::to_string(typed(type)); };
  EXPECT_EQ(list_tags(request),
            "{\"id\":0"
                ",\"data\":{\"names\":[\"Counter\",\"Temperature\",\"Running\",\"Small\",\"Level\",\"Precise\","
                "\"Program:Main.Speed\",\"Program:Main.Count\",\"Program:Main.Mode\",\"Program:Aux.Level\"],"
                "\"tags\":[" + t(vt::s32) + ',' + t(vt::real) + ',' + t(vt::boolean) + ',' + t(vt::s8) + ',' +
                t(vt::s16) + ',' + t(vt::lreal) + ',' + t(vt::real) + ',' + t(vt::s32) + ',' + t(vt::s16) + ',' +
                t(vt::s32) + "]}}");
  // The listing used the driver's session.
  EXPECT_EQ(s.sessions_registered(), 1u);
}

TEST_F(EipDriver, ListTagsOfAnOmronControllerAndItsFailures) {
  auto& s = simulator(flavour::omron);
  s.clear_tags();
  s.add_tag("Speed", cip_type::real);
  s.add_tag("Count", cip_type::dint);
  s.add_tag("Flag", cip_type::boolean);
  s.add_tag("Wide", cip_type::lint);  // not carried
  const std::string host = gateway();
  EXPECT_EQ(list_tags("{\"protocol\":2,\"type\":\"omron-njnx\",\"host\":\"" + host + "\",\"port\":0}"),
            "{\"id\":0,\"data\":{\"names\":[\"Speed\",\"Count\",\"Flag\"],\"tags\":[" +
                std::to_string(typed(vt::real)) + ',' + std::to_string(typed(vt::s32)) + ',' +
                std::to_string(typed(vt::boolean)) + "]}}");

  const struct {
    std::string data;
    const char* error;
  } failures[] = {
      {R"({"type":"x","host":"h","port":1})", "Protocol invalid"},
      {R"({"protocol":9,"type":"x","host":"h","port":1})", "Protocol invalid"},
      {R"({"protocol":4,"host":"h","port":1})", "Type invalid"},
      {R"({"protocol":4,"type":"x","host":"","port":1})", "Host invalid"},
      {R"({"protocol":4,"type":"x","host":"h","port":-1})", "Port invalid"},
      {R"({"protocol":4,"type":"x","host":"h","port":1})", "Protocol unsupported"},
      {R"({"protocol":2,"type":"controllogix","host":"127.0.0.1:1","port":1})", "Server function failed"},
  };
  for (const auto& f : failures)
    EXPECT_EQ(list_tags(f.data), std::string("{\"id\":0,\"data\":null,\"error\":\"") + f.error + "\"}") << f.data;
}

}  // namespace
}  // namespace kvt::test
