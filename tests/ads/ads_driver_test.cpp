// The ADS driver end to end: "ServerConnect", "BindingTables" (symbol names
// resolved by the controller), "ServerStatus" and "ListTags" over the
// command server's WebSocket, values through the signal buffer against the
// exchange thread, and the simulator as the TwinCAT runtime. The driver
// loads libTcAdsDll.so at run time, found through this test's run path.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "ads/ads_simulator.hpp"
#include "plc/ads/areas.hpp"
#include "plc/ads/net_id.hpp"
#include "plc/value_type.hpp"
#include "support/driver_session.hpp"
#include "support/eventually.hpp"

namespace kvt::test {
namespace {

namespace vt = kvt::plc::value_type;
using std::chrono::seconds;

constexpr const char* net_id_text = "127.0.0.1.1.1";
constexpr std::uint32_t sum_read = 0xF080;
constexpr std::uint32_t sum_write = 0xF081;

std::uint64_t typed(std::uint32_t type) { return plc::make_tag(type, 0); }
std::int32_t bits_of(float f) { return plc::float_to_slot(f); }

TEST(AdsNetId, OnlySixDecimalBytesParse) {
  const struct {
    const char* text;
    bool parses;
  } cases[] = {{"5.1.204.160.1.1", true},   {"0.0.0.0.0.0", true},        {"255.255.255.255.255.255", true},
               {"5.1.204.160.1", false},    {"5.1.204.160.1.1.1", false}, {"5.1.204.300.1.1", false},
               {"5.1.204.160.1.1.", false}, {"5.1..160.1.1", false},      {"5.1.204.160.1.x", false},
               {"", false},                 {"-5.1.204.160.1.1", false},  {"5.1.204.160.1.1 ", false}};
  for (const auto& c : cases) {
    std::array<std::uint8_t, 6> id{9, 9, 9, 9, 9, 9};
    EXPECT_EQ(plc::ads::parse_net_id(c.text, id), c.parses) << c.text;
    if (c.parses && std::string(c.text) == "5.1.204.160.1.1") {
      EXPECT_EQ(id, (std::array<std::uint8_t, 6>{5, 1, 204, 160, 1, 1}));
    }
  }
}

class AdsDriver : public ::testing::Test {
 protected:
  void SetUp() override {
    controller.load_default_symbols();
    ::setenv("KVT_ADS_TCP_PORT", std::to_string(controller.port()).c_str(), 1);
  }

  ::testing::AssertionResult connect_ads(bool data_area = true) {
    plc::connection_params p = connection(plc::protocol::ads, 851);
    p.host = net_id_text;
    p.data_area = data_area;
    return session.connect(p);
  }
  static binding_tables tables(const std::vector<named_signal>& inputs, const std::vector<named_signal>& outputs) {
    binding_tables t;
    t.host = net_id_text;
    t.inputs = signal_table::of(inputs);
    t.outputs = signal_table::of(outputs);
    return t;
  }
  ::testing::AssertionResult bind(const std::vector<named_signal>& inputs, const std::vector<named_signal>& outputs) {
    return session.bind(tables(inputs, outputs));
  }
  std::string list_tags(bool data_area, const std::string& host = net_id_text) {
    const std::string reply =
        session.ask("ListTags", "{\"protocol\":3,\"type\":\"\",\"host\":\"" + host + "\",\"port\":851,\"dataArea\":" +
                                    (data_area ? "true" : "false") + "}");
    const std::string id = "{\"id\":" + std::to_string(session.last_id()) + ",\"data\":";
    return reply.starts_with(id) ? reply.substr(id.size()) : reply;
  }

  ads_simulator controller;
  std::optional<driver_session> live{std::in_place, seconds(30)};
  driver_session& session = *live;
};

TEST_F(AdsDriver, EveryValueTypeCrossesBothWaysBySymbolName) {
  auto& s = controller;
  const struct {
    const char* name;
    const char* plc_type;
    std::uint32_t type;
    std::int32_t slot;  // written through the page
  } inputs[] = {{"IN.b", "BOOL", vt::boolean, 1},        {"IN.u8", "USINT", vt::u8, 200},
                {"IN.u16", "UINT", vt::u16, 60000},      {"IN.u32", "UDINT", vt::u32, -2},
                {"IN.s8", "SINT", vt::s8, -100},         {"IN.s16", "INT", vt::s16, -30000},
                {"IN.s32", "DINT", vt::s32, -7654321},   {"IN.r", "REAL", vt::real, bits_of(2.5f)},
                {"IN.lr", "LREAL", vt::lreal, bits_of(-0.75f)}};
  std::vector<named_signal> in;
  for (const auto& i : inputs) {
    s.add_symbol(i.name, i.plc_type);
    in.push_back({i.name, typed(i.type)});
  }
  s.set_bytes("MAIN.bEnable", {0x02});  // any non-zero byte reads as 1
  s.set_int("MAIN.nByte", 0xAB);
  s.set_int("MAIN.nWord", 0xBEEF);
  s.set_int("MAIN.nDWord", 0xDEADBEEF);
  s.set_int("MAIN.nSInt", -5);
  s.set_int("MAIN.nInt", -1200);
  s.set_int("MAIN.nCounter", -123456);
  s.set_real("MAIN.fTemperature", 21.5);
  s.set_real("GVL.fPosition", 3.25);
  s.set_int("GVL.nMarker", 77);  // in %M, not the data area
  const std::vector<named_signal> out = {
      {"MAIN.bEnable", typed(vt::boolean)}, {"MAIN.nByte", typed(vt::u8)},   {"MAIN.nWord", typed(vt::u16)},
      {"MAIN.nDWord", typed(vt::u32)},      {"MAIN.nSInt", typed(vt::s8)},   {"MAIN.nInt", typed(vt::s16)},
      {"MAIN.nCounter", typed(vt::s32)},    {"MAIN.fTemperature", typed(vt::real)},
      {"GVL.fPosition", typed(vt::lreal)},  {"gvl.nmarker", typed(vt::s16)}};
  ASSERT_TRUE(connect_ads());
  ASSERT_TRUE(bind(in, out));
  EXPECT_TRUE(session.eventually_seen({1, 0xAB, 0xBEEF, static_cast<std::int32_t>(0xDEADBEEF), 0xFB, 0xFB50, -123456,
                                       bits_of(21.5f), bits_of(3.25f), 77}))
      << ::testing::PrintToString(session.view());

  pair_list pairs;
  for (std::uint32_t i = 0; i < std::size(inputs); ++i) pairs.emplace_back(i, inputs[i].slot);
  ASSERT_TRUE(session.deliver(pairs));
  EXPECT_TRUE(eventually([&] { return s.get_real("IN.lr") == -0.75 && s.get_int("IN.s32") == -7654321; }));
  const std::vector<std::uint8_t> expected[] = {{1},    {200},        {0x60, 0xEA}, {0xFE, 0xFF, 0xFF, 0xFF},
                                                {0x9C}, {0xD0, 0x8A}, {0x4F, 0x34, 0x8B, 0xFF}};
  for (std::size_t i = 0; i < std::size(expected); ++i)
    EXPECT_EQ(s.get_bytes(inputs[i].name), expected[i]) << inputs[i].name;
  EXPECT_EQ(s.get_real("IN.r"), 2.5);
  // Only what changed is written: one item in the next sum write.
  const std::size_t writes = s.group_requests(sum_write);
  ASSERT_TRUE(session.deliver({{6, 42}}));
  EXPECT_TRUE(eventually([&] { return s.get_int("IN.s32") == 42; }));
  EXPECT_EQ(s.group_requests(sum_write), writes + 1);
}

TEST_F(AdsDriver, AnUnknownSymbolIsReportedAndKeepsThePagesDescriptor) {
  controller.set_int("GVL.nMarker", 1234);  // %MW10
  ASSERT_TRUE(connect_ads());
  const std::uint64_t marker = plc::ads::make_ads_tag(vt::s16, 5, 10);  // area 5: 0x4020
  session.send("BindingTables", binding_json(tables({}, {{"MAIN.nCounter", typed(vt::s32)}, {"NoSuch", marker}})));
  const std::string event = session.reply();
  EXPECT_NE(event.find("\"level\":\"error\""), std::string::npos) << event;
  EXPECT_NE(event.find("\"message\":\"Failed to resolve ADS symbol: NoSuch\""), std::string::npos) << event;
  EXPECT_EQ(session.reply(), session.true_reply());
  controller.set_int("MAIN.nCounter", 9);
  EXPECT_TRUE(session.eventually_seen({9, 1234})) << ::testing::PrintToString(session.view());
}

TEST_F(AdsDriver, ManySignalsSplitIntoSumRequestsOf500) {
  std::vector<named_signal> in, out;
  std::vector<std::int32_t> expected;
  for (int i = 0; i < 1200; ++i) {
    const std::string name = "BIG.n" + std::to_string(i);
    controller.add_symbol(name, "DINT");
    controller.set_int(name, i * 3);
    in.push_back({name, typed(vt::s32)});
    out.push_back({name, typed(vt::s32)});
    expected.push_back(i * 3);
  }
  ASSERT_TRUE(connect_ads());
  ASSERT_TRUE(bind({}, out));
  ASSERT_TRUE(session.eventually_seen(expected, seconds(10)));
  // Every cycle reads with sums of 500, 500 and 200 items.
  const auto counts = controller.sum_item_counts();
  const std::vector<std::uint32_t> cycle{500, 500, 200};
  EXPECT_NE(std::search(counts.begin(), counts.end(), cycle.begin(), cycle.end()), counts.end());
  for (const std::uint32_t n : counts) EXPECT_TRUE(n == 500 || n == 200) << n;

  // 1,200 changed inputs: three sum writes of 500, 500 and 200 items (a new
  // binding first writes every input's 0).
  ASSERT_TRUE(bind(in, {}));
  ASSERT_TRUE(eventually([&] { return controller.get_int("BIG.n1199") == 0; }));
  const std::size_t writes = controller.group_requests(sum_write);
  const std::size_t sums = controller.sum_item_counts().size();
  pair_list pairs;
  for (std::uint32_t i = 0; i < 1200; ++i) pairs.emplace_back(i, -static_cast<std::int32_t>(i));
  ASSERT_TRUE(session.deliver(pairs));
  ASSERT_TRUE(eventually([&] { return controller.get_int("BIG.n1199") == -1199; }));
  EXPECT_EQ(controller.get_int("BIG.n0"), 0);
  EXPECT_EQ(controller.get_int("BIG.n700"), -700);
  EXPECT_EQ(controller.group_requests(sum_write) - writes, 3u);
  const auto after = controller.sum_item_counts();
  EXPECT_EQ(std::vector<std::uint32_t>(after.begin() + static_cast<std::ptrdiff_t>(sums), after.end()),
            (std::vector<std::uint32_t>{500, 500, 200}));
}

TEST_F(AdsDriver, ALostRuntimeDisconnectsAndConnectsAgainOnceBack) {
  controller.set_int("MAIN.nCounter", 5);
  ASSERT_TRUE(connect_ads());
  ASSERT_TRUE(bind({}, {{"MAIN.nCounter", typed(vt::s32)}}));
  ASSERT_TRUE(session.eventually_seen({5}));
  controller.stop();
  EXPECT_TRUE(eventually([&] { return !session.status(net_id_text); }, seconds(20)));
  // No request is made at connect: an absent runtime shows at the first scan.
  ASSERT_TRUE(connect_ads());
  EXPECT_TRUE(eventually([&] { return !session.status(net_id_text); }, seconds(20)));
  controller.start();
  controller.set_int("MAIN.nCounter", 6);
  ASSERT_TRUE(connect_ads());
  ASSERT_TRUE(bind({}, {{"MAIN.nCounter", typed(vt::s32)}}));
  EXPECT_TRUE(session.eventually_seen({6}));
  EXPECT_TRUE(session.status(net_id_text));
}

TEST_F(AdsDriver, ListTagsNamesTheCarriedSymbolsInOrder) {
  controller.clear_symbols();
  controller.add_symbol("MAIN.fSpeed", "REAL");
  controller.add_symbol("MAIN.nHuge", "ULINT");  // not carried
  controller.add_symbol("IO.bStart", "BOOL", ads_sim::area::inputs, 0);
  controller.add_symbol("MAIN.nBig", "LINT");  // not carried
  controller.add_symbol("M.nWord", "WORD", ads_sim::area::memory, 10);
  controller.add_symbol("MAIN.nCount", "DINT");
  const auto tag = [](std::uint32_t type, std::uint32_t area, const char* name, const ads_simulator& s) {
    return std::to_string(plc::ads::make_ads_tag(type, area, s.symbol(name).offset));
  };
  const std::string speed = tag(vt::real, 7, "MAIN.fSpeed", controller);
  const std::string start = tag(vt::boolean, 1, "IO.bStart", controller);
  const std::string word = tag(vt::u16, 5, "M.nWord", controller);
  const std::string count = tag(vt::s32, 7, "MAIN.nCount", controller);
  EXPECT_EQ(list_tags(true), "{\"names\":[\"MAIN.fSpeed\",\"IO.bStart\",\"M.nWord\",\"MAIN.nCount\"],\"tags\":[" +
                                 speed + ',' + start + ',' + word + ',' + count + "]}}");
  // Without the data-area switch the PLC's own variables are left out.
  EXPECT_EQ(list_tags(false), "{\"names\":[\"IO.bStart\",\"M.nWord\"],\"tags\":[" + start + ',' + word + "]}}");
  EXPECT_EQ(list_tags(true, "127.0.0.1.1"), "null,\"error\":\"Server function failed\"}");
  controller.stop();
  EXPECT_EQ(list_tags(true), "null,\"error\":\"Server function failed\"}");
}

}  // namespace
}  // namespace kvt::test
