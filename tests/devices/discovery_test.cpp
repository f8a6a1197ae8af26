// EtherNet/IP device discovery: the reply parser, one broadcast round in a
// private test network with simulated devices, and the "DiscoverDevices"
// commands over the real command server.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "devices/identity_device.hpp"
#include "devices/private_network.hpp"
#include "plc/devices/discovery.hpp"
#include "plc/devices/list_identity.hpp"
#include "server/handlers/discovery_jobs.hpp"
#include "server/handlers/websocket_discover_responder.hpp"
#include "support/eventually.hpp"
#include "support/server_fixture.hpp"
#include "support/ws_client.hpp"

namespace kvt::test {
namespace {

using namespace std::chrono_literals;
namespace eip = plc::eip::devices;

#define REQUIRE_TEST_NETWORK() \
  if (!network().ready) GTEST_SKIP() << network().reason

TEST(IdentityReply, ReadsTheFieldsAndStopsTheNameAtAZeroByte) {
  identity id;
  id.product_name = std::string("ABCD\0EFGHI", 10);
  id.state = 7;
  const auto reply = list_identity_reply(id);
  const auto d = eip::parse_identity_reply(reply, "10.0.0.9");
  ASSERT_TRUE(d);
  EXPECT_EQ(d->ip, "10.0.0.9");
  EXPECT_EQ(d->vendor, 1);
  EXPECT_EQ(d->device_type, 0x0E);
  EXPECT_EQ(d->product_name, "ABCD");
  // The state is read right after the consumed zero byte: 63 + 5.
  EXPECT_EQ(d->state, static_cast<std::uint8_t>('E'));
}

TEST(IdentityReply, DatagramsTooShortForTheirFieldsAreNotDevices) {
  identity id;
  const auto reply = list_identity_reply(id);
  EXPECT_FALSE(eip::parse_identity_reply(std::span(reply.data(), 40), "x"));
  EXPECT_FALSE(eip::parse_identity_reply(std::span(reply.data(), 63), "x"));
  // The name claims more bytes than arrived; nothing past the datagram is read.
  EXPECT_FALSE(eip::parse_identity_reply(std::span(reply.data(), 70), "x"));
  // Without the state byte.
  EXPECT_FALSE(eip::parse_identity_reply(std::span(reply.data(), reply.size() - 1), "x"));
  EXPECT_TRUE(eip::parse_identity_reply(reply, "x"));
}

TEST(IdentityReply, VendorAndTypeNames) {
  EXPECT_EQ(eip::vendor_name(1), "Rockwell Automation");
  EXPECT_EQ(eip::vendor_name(47), "Omron");
  EXPECT_EQ(eip::vendor_name(243), "Schneider Electric");
  EXPECT_EQ(eip::vendor_name(0), "Unknown");
  EXPECT_EQ(eip::device_type_name(12), "Communications Adapter");
  EXPECT_EQ(eip::device_type_name(14), "PLC");
  EXPECT_EQ(eip::device_type_name(2), "Unknown");
}

TEST(IdentityReply, EventIsValidJsonWhateverTheDeviceCallsItself) {
  eip::device_info d{"10.77.0.2", 47, 12, "say \"hi\"\n\x01", 3};
  EXPECT_EQ(server::device_discovered_event(-5, d),
            R"({"type":"DeviceDiscovered","data":{"id":-5,"ip":"10.77.0.2","vendor":"Omron",)"
            R"("type":"Communications Adapter","productName":"say \"hi\"\n\u0001"}})");
}

TEST(DiscoveryRound, FindsTheDeviceOnTheNetwork) {
  REQUIRE_TEST_NETWORK();
  identity_device device({});
  ASSERT_TRUE(device.listening());
  std::vector<eip::device_info> found;
  EXPECT_TRUE(eip::discover(300, [&](const eip::device_info& d) { found.push_back(d); }));
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].ip, network().device_ip);
  EXPECT_EQ(found[0].vendor, 1);
  EXPECT_EQ(found[0].device_type, 14);
  EXPECT_EQ(found[0].product_name, "1769-L33ER/A LOGIX5333ER");
  EXPECT_EQ(found[0].state, 3);
  EXPECT_EQ(device.requests(), 1);
}

TEST(DiscoveryRound, ADeviceAnsweringTwiceIsReportedTwice) {
  REQUIRE_TEST_NETWORK();
  identity_device device({}, 2);
  int found = 0;
  EXPECT_TRUE(eip::discover(300, [&](const eip::device_info&) { ++found; }));
  EXPECT_EQ(found, 2);
}

TEST(DiscoveryRound, NobodyAnsweringWaitsTheTimeOutAndSucceeds) {
  REQUIRE_TEST_NETWORK();
  int found = 0;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(eip::discover(200, [&](const eip::device_info&) { ++found; }));
  EXPECT_GE(std::chrono::steady_clock::now() - start, 190ms);
  EXPECT_EQ(found, 0);
}

// The commands, answered on the page connection.
class DiscoverCommands : public ::testing::Test {
 protected:
  std::string ask(int id, std::string_view type, const std::string& data) {
    page_->send_text("{\"id\":" + std::to_string(id) + ",\"type\":\"" + std::string(type) + "\",\"data\":" + data +
                     "}");
    // Events of running searches may come first; the reply is the first
    // message that is not an event.
    for (;;) {
      auto m = page_->next_text();
      if (!m) return "(no reply)";
      if (!m->starts_with("{\"type\":\"DeviceDiscovered\"")) return *m;
    }
  }
  static std::string start(int protocol, int attempts, int timeout) {
    return "{\"protocol\":" + std::to_string(protocol) + ",\"attempts\":" + std::to_string(attempts) +
           ",\"timeout\":" + std::to_string(timeout) + "}";
  }
  void TearDown() override {
    // Every search ends before the server goes.
    EXPECT_TRUE(eventually([] { return server::discovery_threads_running() == 0; }, 40s));
  }
  server_fixture server_;
  std::unique_ptr<ws_client> page_ = [this] {
    auto c = std::make_unique<ws_client>(server_.port());
    c->register_as_page();
    return c;
  }();
};

TEST_F(DiscoverCommands, ValidationInOrder) {
  EXPECT_EQ(ask(1, "DiscoverDevicesStart", start(1, 1, 100)), R"({"id":1,"data":null,"error":"Protocol invalid"})");
  EXPECT_EQ(ask(2, "DiscoverDevicesStart", start(2, 0, 100)), R"({"id":2,"data":null,"error":"Attempts invalid"})");
  EXPECT_EQ(ask(3, "DiscoverDevicesStart", start(2, 11, 100)), R"({"id":3,"data":null,"error":"Attempts invalid"})");
  EXPECT_EQ(ask(4, "DiscoverDevicesStart", start(2, 1, 30001)), R"({"id":4,"data":null,"error":"Timeout invalid"})");
  EXPECT_EQ(ask(5, "DiscoverDevicesStart", R"({"protocol":2,"timeout":5})"),
            R"({"id":5,"data":null,"error":"Attempts invalid"})");
  EXPECT_EQ(ask(6, "DiscoverDevicesStop", "{}"), R"({"id":6,"data":false,"error":"Id invalid"})");
  EXPECT_EQ(ask(7, "DiscoverDevicesStop", R"({"id":12345})"), R"({"id":7,"data":true})");
}

TEST_F(DiscoverCommands, LimitsAreAccepted) {
  REQUIRE_TEST_NETWORK();
  EXPECT_EQ(ask(10, "DiscoverDevicesStart", start(2, 10, 1)), R"({"id":10,"data":10})");
  EXPECT_EQ(ask(11, "DiscoverDevicesStart", start(2, 1, 200)), R"({"id":11,"data":11})");
  EXPECT_TRUE(eventually([] { return server::discovery_threads_running() == 0; }, 10s));
  ask(12, "DiscoverDevicesStop", R"({"id":10})");
  ask(13, "DiscoverDevicesStop", R"({"id":11})");
}

TEST_F(DiscoverCommands, EveryRoundReportsTheDeviceThenTheSearchEnds) {
  REQUIRE_TEST_NETWORK();
  identity_device device({});
  EXPECT_EQ(ask(21, "DiscoverDevicesStart", start(2, 3, 300)), R"({"id":21,"data":21})");
  const std::string event = R"({"type":"DeviceDiscovered","data":{"id":21,"ip":")" + network().device_ip +
                            R"(","vendor":"Rockwell Automation","type":"PLC","productName":"1769-L33ER/A LOGIX5333ER"}})";
  for (int round = 0; round < 3; ++round) EXPECT_EQ(page_->next_text(3s), event) << "round " << round;
  EXPECT_TRUE(eventually([] { return server::discovery_threads_running() == 0; }, 5s));
  EXPECT_FALSE(page_->next_text(200ms).has_value());
  EXPECT_EQ(device.requests(), 3);
  // The finished search keeps its id until it is stopped.
  EXPECT_EQ(ask(22, "DiscoverDevicesStart", R"({"protocol":2,"attempts":1,"timeout":1})"),
            R"({"id":22,"data":22})");
  EXPECT_EQ(ask(21, "DiscoverDevicesStart", start(2, 1, 1)), R"({"id":21,"data":null,"error":"Internal error"})");
  EXPECT_EQ(ask(23, "DiscoverDevicesStop", R"({"id":21})"), R"({"id":23,"data":true})");
  EXPECT_EQ(ask(21, "DiscoverDevicesStart", start(2, 1, 1)), R"({"id":21,"data":21})");
  EXPECT_TRUE(eventually([] { return server::discovery_threads_running() == 0; }, 5s));
  ask(24, "DiscoverDevicesStop", R"({"id":21})");
  ask(25, "DiscoverDevicesStop", R"({"id":22})");
}

TEST_F(DiscoverCommands, StopDuringTheFirstRoundSuppressesItsDevicesAndTheRest) {
  REQUIRE_TEST_NETWORK();
  identity_device slow({}, 1, 300ms);  // answers late in the round
  EXPECT_EQ(ask(31, "DiscoverDevicesStart", start(2, 3, 800)), R"({"id":31,"data":31})");
  ASSERT_TRUE(eventually([&] { return slow.requests() == 1; }, 2s));
  EXPECT_EQ(ask(32, "DiscoverDevicesStop", R"({"id":31})"), R"({"id":32,"data":true})");
  EXPECT_TRUE(eventually([] { return server::discovery_threads_running() == 0; }, 5s));
  EXPECT_FALSE(page_->next_text(100ms).has_value());
  EXPECT_EQ(slow.requests(), 1);  // no second round
}

}  // namespace
}  // namespace kvt::test
