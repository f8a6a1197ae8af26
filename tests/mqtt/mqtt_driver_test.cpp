// The MQTT driver against a real mosquitto broker on loopback, plain and
// with TLS. The page is played over the command server's WebSocket and the
// signal buffer; the test's own Paho client stands for the other devices on
// the broker.
#include <gtest/gtest.h>

#include <bit>
#include <cstdlib>
#include <map>
#include <mutex>
#include <string>

#include "mqtt/broker.hpp"
#include "mqtt/peer.hpp"
#include "plc/driver_registry.hpp"
#include "plc/mqtt/driver.hpp"
#include "plc/mqtt/tag.hpp"
#include "plc/tables.hpp"
#include "support/driver_session.hpp"
#include "support/eventually.hpp"

namespace kvt::test {
namespace {

namespace mq = kvt::plc::mqtt;
namespace vt = kvt::plc::value_type;
using mq::encode_tag;
using mq::payload_format;
using std::chrono::seconds;

constexpr std::int32_t page_id = 3;
const std::string host = "127.0.0.1";

std::int32_t bits(float f) { return std::bit_cast<std::int32_t>(f); }

// "ServerConnect" for the broker at `broker` (an address or a URI) and `port`.
::testing::AssertionResult connect_broker(driver_session& session, const std::string& broker, std::uint16_t port) {
  plc::connection_params p = connection(plc::protocol::mqtt, port, 0);
  p.host = broker;
  return session.connect(p);
}

// "BindingTables" with one topic per signal.
::testing::AssertionResult bind_topics(driver_session& session, const std::string& broker, std::int32_t id,
                                       std::uint32_t version, const std::vector<named_signal>& inputs,
                                       const std::vector<named_signal>& outputs) {
  return session.bind({.host = broker,
                       .id = id,
                       .inputs = signal_table::of(inputs, version),
                       .outputs = signal_table::of(outputs, version)});
}

mq::driver* registered(const std::string& name) { return dynamic_cast<mq::driver*>(plc::registry().find(name)); }

// The value of output `index`, read under the table's lock.
std::int32_t output_value(mq::driver& d, std::size_t index) {
  std::lock_guard lock(d.outputs().mutex);
  return index < d.outputs().values.size() ? d.outputs().values[index] : -12345;
}

// Waits until the peer's latest message on every topic carries the payload.
::testing::AssertionResult peer_holds(const mqtt_peer& peer, const std::map<std::string, std::string>& expected,
                                      bool retained) {
  const bool ok = eventually(
      [&] {
        for (const auto& [topic, payload] : expected) {
          const auto m = peer.last(topic);
          if (!m || m->payload != payload || m->retained != retained) return false;
        }
        return true;
      },
      seconds(10));
  if (ok) return ::testing::AssertionSuccess();
  auto failure = ::testing::AssertionFailure();
  for (const auto& [topic, payload] : expected) {
    const auto m = peer.last(topic);
    failure << topic << ": " << (m ? ::testing::PrintToString(m->payload) + (m->retained ? " retained" : " live")
                                   : std::string("nothing"))
            << " (wanted " << ::testing::PrintToString(payload) << ")\n";
  }
  return failure;
}

struct input_case {
  std::string topic;
  std::uint64_t tag;
  std::int32_t value;
  std::string payload;
};

TEST(MqttDriver, InputsArePublishedRetainedInEveryFormat) {
  mosquitto_broker broker;
  mqtt_peer live(broker.uri());
  live.subscribe("in/#", 2);
  driver_session session{seconds(60)};
  ASSERT_TRUE(connect_broker(session, host, broker.port())) << broker.log();

  std::vector<input_case> cases = {
      {"in/bool/text", encode_tag(vt::boolean, payload_format::text, 0), 0, "false"},
      {"in/bool/be", encode_tag(vt::boolean, payload_format::big_endian, 1), 1, std::string("\x01", 1)},
      {"in/u8/le", encode_tag(vt::u8, payload_format::little_endian, 2), 0xAB, "\xAB"},
      {"in/s8/text", encode_tag(vt::s8, payload_format::text, 1), 0xFF, "-1"},
      {"in/u16/be", encode_tag(vt::u16, payload_format::big_endian, 1), 0x0102, "\x01\x02"},
      {"in/s16/le", encode_tag(vt::s16, payload_format::little_endian, 0), 0xFFFE, "\xFE\xFF"},
      {"in/u32/text", encode_tag(vt::u32, payload_format::text, 1), -1, "4294967295"},
      {"in/s32/be", encode_tag(vt::s32, payload_format::big_endian, 2), 0x01020304, "\x01\x02\x03\x04"},
      {"in/s32/text", encode_tag(vt::s32, payload_format::text, 1), -42, "-42"},
      {"in/real/text", encode_tag(vt::real, payload_format::text, 1), bits(0.1f), "0.1"},
      {"in/real/be", encode_tag(vt::real, payload_format::big_endian, 0), bits(1.0f), std::string("\x3F\x80\0\0", 4)},
      {"in/lreal/le", encode_tag(vt::lreal, payload_format::little_endian, 1), bits(1.5f),
       std::string("\0\0\0\0\0\0\xF8\x3F", 8)},
      {"in/lreal/text", encode_tag(vt::lreal, payload_format::text, 0), bits(2.5f), "2.5"},
  };
  // More acknowledged messages in one cycle than the library keeps in flight.
  for (int k = 0; k < 25; ++k)
    cases.push_back({"in/many/" + std::to_string(k), encode_tag(vt::s32, payload_format::text, 1), k + 100,
                     std::to_string(k + 100)});
  std::vector<named_signal> inputs;
  for (const auto& c : cases) inputs.push_back({c.topic, c.tag});
  inputs.push_back({"in/empty", encode_tag(vt::s32, payload_format::empty, 1)});
  ASSERT_TRUE(bind_topics(session, host, page_id, 1, inputs, {}));

  // Freshly bound inputs go out once, zeros included.
  EXPECT_TRUE(peer_holds(live, {{"in/bool/text", "false"}, {"in/s32/text", "0"}, {"in/u16/be", std::string(2, '\0')}},
                         false));

  input_record record{.id = page_id, .version = 1, .pairs = {}};
  for (std::uint32_t i = 0; i < cases.size(); ++i) record.pairs.emplace_back(i, cases[i].value);
  record.pairs.emplace_back(static_cast<std::uint32_t>(cases.size()), 77);
  ASSERT_TRUE(session.page().deliver_inputs({record}));

  std::map<std::string, std::string> expected;
  for (const auto& c : cases) expected[c.topic] = c.payload;
  EXPECT_TRUE(peer_holds(live, expected, false));
  EXPECT_TRUE(eventually([&] { return live.count("in/empty") >= 2; }));
  for (const auto& m : live.messages("in/empty")) EXPECT_EQ(m.payload, "");

  // A device that subscribes later gets every value as a retained message.
  mqtt_peer late(broker.uri());
  late.subscribe("in/#", 1);
  EXPECT_TRUE(peer_holds(late, expected, true));
  EXPECT_EQ(late.count("in/empty"), 0u) << "an empty retained message leaves nothing retained";
  EXPECT_EQ(late.last("in/s8/text")->qos, 1);
}

TEST(MqttDriver, InputsOnTopicsThatCannotBePublishedAreSkipped) {
  mosquitto_broker broker;
  mqtt_peer live(broker.uri());
  live.subscribe("#", 1);
  driver_session session{seconds(60)};
  ASSERT_TRUE(connect_broker(session, host, broker.port()));
  const auto tag = encode_tag(vt::s32, payload_format::text, 1);
  ASSERT_TRUE(bind_topics(session, host, page_id, 1,
                          {{"", tag},
                           {"bad/+", tag},
                           {std::string("cut\0short", 9), tag},
                           {"bad/qos", encode_tag(vt::s32, payload_format::text, 3)},
                           {"bad/type", plc::make_tag(12, 2 << 4)},
                           {"good", tag}},
                          {}));
  ASSERT_TRUE(session.deliver({{2, 1}, {3, 2}, {4, 3}, {5, 4}}, page_id));
  EXPECT_TRUE(peer_holds(live, {{"good", "4"}}, false));
  EXPECT_EQ(live.count("cut"), 0u);
  EXPECT_EQ(live.count("bad/qos"), 0u);
  EXPECT_EQ(live.count("bad/type"), 0u);
  EXPECT_TRUE(session.status(host));
}

TEST(MqttDriver, OutputsFollowTheirTopicsInEveryFormat) {
  mosquitto_broker broker;
  mqtt_peer device(broker.uri());
  // Retained before the binding: delivered when the driver subscribes.
  device.publish("out/dint", "  -42");
  device.publish("out/uint", std::string("\x01\x02", 2));
  driver_session session{seconds(60)};
  ASSERT_TRUE(connect_broker(session, host, broker.port()));
  const std::vector<named_signal> outputs = {
      {"out/dint", encode_tag(vt::s32, payload_format::text, 0)},
      {"out/dint2", encode_tag(vt::s32, payload_format::text, 1)},
      {"out/dint3", encode_tag(vt::s32, payload_format::text, 2)},
      {"out/uint", encode_tag(vt::u16, payload_format::big_endian, 1)},
      {"out/uint1", encode_tag(vt::u16, payload_format::big_endian, 1)},
      {"out/bool", encode_tag(vt::boolean, payload_format::text, 1)},
      {"out/boolbin", encode_tag(vt::boolean, payload_format::big_endian, 1)},
      {"out/real", encode_tag(vt::real, payload_format::text, 1)},
      {"out/lreal", encode_tag(vt::lreal, payload_format::big_endian, 1)},
      {"out/udint", encode_tag(vt::u32, payload_format::little_endian, 1)},
      {"out/sint", encode_tag(vt::s8, payload_format::text, 1)},
      {"out/empty", encode_tag(vt::s32, payload_format::empty, 1)},
      {"out/dint", encode_tag(vt::s16, payload_format::text, 1)},  // a second output on one topic
      {"out/#", encode_tag(vt::s32, payload_format::text, 1)},     // filters are not followed
  };
  ASSERT_TRUE(bind_topics(session, host, page_id, 1, {}, outputs));
  auto* d = registered(host);
  ASSERT_NE(d, nullptr);
  ASSERT_TRUE(eventually([&] { return output_value(*d, 0) == -42 && output_value(*d, 3) == 258; }));

  device.publish("out/dint2", "12abc", false);
  device.publish("out/dint3", "5", false);
  device.publish("out/uint1", std::string("\x00\x07", 2), false);
  device.publish("out/bool", "TrUe", false);
  device.publish("out/boolbin", "\x05", false);
  device.publish("out/real", "3.25", false);
  device.publish("out/lreal", std::string("\x40\x02\0\0\0\0\0\0", 8), false);
  device.publish("out/udint", "\x04\x03\x02\x01", false);
  device.publish("out/sint", "-5", false);
  device.publish("out/empty", "999", false);
  const std::vector<std::int32_t> first = {-42, 12, 5, 258, 7, 1, 1, bits(3.25f), bits(2.25f), 0x01020304, 0xFB, 0,
                                           0xFFD6, 0};
  EXPECT_TRUE(eventually([&] { return session.outputs_seen(page_id) == first; }, seconds(10)))
      << ::testing::PrintToString(session.outputs_seen(page_id));

  // Text that is not a number, and a binary payload too short, give 0.
  device.publish("out/dint3", "abc", false);
  device.publish("out/uint1", "\x01", false);
  device.publish("out/bool", "yes", false);
  auto second = first;
  second[2] = 0;
  second[4] = 0;
  second[5] = 0;
  EXPECT_TRUE(eventually([&] { return session.outputs_seen(page_id) == second; }, seconds(10)))
      << ::testing::PrintToString(session.outputs_seen(page_id));
}

TEST(MqttDriver, RebindingDropsQueuedMessagesAndRenewsSubscriptions) {
  mosquitto_broker broker;
  mqtt_peer device(broker.uri());
  mq::driver d;
  plc::connection_params p;
  p.protocol = plc::protocol::mqtt;
  p.host = host;
  p.port = broker.port();
  d.configure(p);
  const auto text = encode_tag(vt::s32, payload_format::text, 1);
  plc::bind(d.outputs(), std::vector<std::uint64_t>{text}, std::vector<std::string>{"a"}, 1);
  ASSERT_TRUE(d.connect());
  device.publish("a", "1");
  ASSERT_TRUE(eventually([&] { return output_value(d, 0) == 1; }));
  device.publish("a", "");  // nothing retained on "a" from here on
  ASSERT_TRUE(eventually([&] { return output_value(d, 0) == 0; }));

  {
    // Holding the inputs keeps the scan from reaching the queue, so these
    // messages wait in it while the outputs are rebound.
    std::unique_lock hold(d.inputs().mutex);
    const auto before = d.messages_received();
    for (const char* v : {"2", "3", "4"}) device.publish("a", v, false);
    ASSERT_TRUE(eventually([&] { return d.messages_received() == before + 3; }));
    device.publish("m", "9");
    plc::bind(d.outputs(), std::vector<std::uint64_t>{text, text}, std::vector<std::string>{"a", "m"}, 2);
  }
  // "m" was never followed before: its retained 9 proves the new subscriptions.
  ASSERT_TRUE(eventually([&] { return output_value(d, 1) == 9; }));
  EXPECT_EQ(output_value(d, 0), 0) << "messages queued for the old binding reached the new one";

  // Subscribing again brings the retained message again, read the new way.
  device.publish("a", "1234");
  ASSERT_TRUE(eventually([&] { return output_value(d, 0) == 1234; }));
  plc::bind(d.outputs(), std::vector<std::uint64_t>{encode_tag(vt::u32, payload_format::big_endian, 1)},
            std::vector<std::string>{"a"}, 3);
  EXPECT_TRUE(eventually([&] { return output_value(d, 0) == 0x31323334; })) << output_value(d, 0);

  // "m" is no longer followed: only the message on "a" arrives.
  const auto before = d.messages_received();
  device.publish("m", "10", false);
  device.publish("a", "ABCD", false);
  ASSERT_TRUE(eventually([&] { return output_value(d, 0) == 0x41424344; }));
  EXPECT_EQ(d.messages_received(), before + 1);
  EXPECT_TRUE(d.connected());
}

TEST(MqttDriver, ABrokerThatGoesAwayMakesServerStatusFalse) {
  mosquitto_broker broker;
  driver_session session{seconds(60)};
  ASSERT_TRUE(connect_broker(session, host, broker.port()));
  ASSERT_TRUE(
      bind_topics(session, host, page_id, 1, {{"plant/setpoint", encode_tag(vt::s32, payload_format::text, 1)}}, {}));
  EXPECT_TRUE(session.status(host));

  broker.stop();
  EXPECT_TRUE(eventually([&] { return !session.status(host); }, seconds(15)));
  // A value the page hands over while the broker is away is not lost.
  ASSERT_TRUE(session.deliver({{0, 31}}, page_id));

  // Connecting again reuses the driver with its bindings.
  broker.start();
  ASSERT_TRUE(connect_broker(session, host, broker.port()));
  EXPECT_TRUE(session.status(host));
  mqtt_peer late(broker.uri());
  late.subscribe("plant/#");
  EXPECT_TRUE(peer_holds(late, {{"plant/setpoint", "31"}}, true));
}

TEST(MqttDriver, TwoConnectionsToOneBrokerDoNotPushEachOtherOff) {
  mosquitto_broker broker;
  mqtt_peer live(broker.uri());
  live.subscribe("who/#");
  mq::driver first;
  mq::driver second;
  EXPECT_NE(first.client_id(), second.client_id());
  plc::connection_params p;
  p.port = broker.port();
  p.host = "127.0.0.1";
  first.configure(p);
  p.host = "localhost";
  second.configure(p);
  const auto tag = encode_tag(vt::s32, payload_format::text, 1);
  plc::bind(first.inputs(), std::vector<std::uint64_t>{tag}, std::vector<std::string>{"who/first"}, 1);
  plc::bind(second.inputs(), std::vector<std::uint64_t>{tag}, std::vector<std::string>{"who/second"}, 1);
  ASSERT_TRUE(first.connect());
  ASSERT_TRUE(second.connect());
  {
    std::lock_guard lock(first.inputs().mutex);
    first.inputs().values[0] = 1;
    first.inputs().dirty[0] = true;
  }
  EXPECT_TRUE(peer_holds(live, {{"who/first", "1"}, {"who/second", "0"}}, false));
  EXPECT_TRUE(first.connected());
  EXPECT_TRUE(second.connected());
}

TEST(MqttDriver, ParametersAndRefusedConnections) {
  mq::driver d;
  EXPECT_EQ(d.protocol(), plc::protocol::mqtt);
  plc::connection_params p;
  p.protocol = plc::protocol::mqtt;
  p.host = "tcp://127.0.0.1";
  p.port = free_port();
  p.username = "user";
  p.password = "secret";
  p.scan_rate = 0.5;
  d.configure(p);
  EXPECT_FALSE(d.connect()) << "nothing listens";
  EXPECT_FALSE(d.connected());
  const plc::connection_params back = d.parameters();
  EXPECT_EQ(back.protocol, plc::protocol::mqtt);
  EXPECT_EQ(back.host, p.host);
  EXPECT_EQ(back.port, p.port);
  EXPECT_EQ(back.username, "user");
  EXPECT_EQ(back.password, "secret");
  EXPECT_EQ(back.scan_rate, 0.0) << "the MQTT driver keeps no scan rate";
  p.port = 70'000;
  d.configure(p);
  EXPECT_FALSE(d.connect());
}

class MqttTls : public ::testing::Test {
 protected:
  MqttTls() : certificates(certificate_dir.path()), broker(&certificates) {}
  ~MqttTls() override { ::unsetenv("SSL_CERT_FILE"); }

  temp_dir certificate_dir;
  test_certificates certificates;
  mosquitto_broker broker;
};

TEST_F(MqttTls, BrokersWithCertificatesTheDriverTrustsCarryInputsAndOutputs) {
  // The test's CA stands for the system's trust store.
  ::setenv("SSL_CERT_FILE", certificates.ca_cert.c_str(), 1);
  mqtt_peer device(broker.uri(), certificates.ca_cert.string());
  device.subscribe("tls/in");
  device.publish("tls/out", "17");
  driver_session session{seconds(60)};
  const std::string tls_host = "mqtts://127.0.0.1";
  ASSERT_TRUE(connect_broker(session, tls_host, broker.port())) << broker.log();
  ASSERT_TRUE(bind_topics(session, tls_host, page_id, 1, {{"tls/in", encode_tag(vt::u16, payload_format::text, 1)}},
                          {{"tls/out", encode_tag(vt::s32, payload_format::text, 1)}}));
  ASSERT_TRUE(session.deliver({{0, 4242}}, page_id));
  EXPECT_TRUE(peer_holds(device, {{"tls/in", "4242"}}, false));
  EXPECT_TRUE(eventually([&] { return session.outputs_seen(page_id) == std::vector<std::int32_t>{17}; }));
  EXPECT_TRUE(session.status(tls_host));

  // The host name is checked against the certificate too: "localhost" is in it.
  EXPECT_TRUE(connect_broker(session, "ssl://localhost", broker.port()));
  // Plain MQTT to a TLS listener on a port that does not imply TLS fails.
  EXPECT_FALSE(connect_broker(session, host, broker.port()));
}

TEST_F(MqttTls, BrokersWhoseCertificateIsNotTrustedAreRefused) {
  temp_dir other_dir;
  const test_certificates other(other_dir.path());
  ::setenv("SSL_CERT_FILE", other.ca_cert.c_str(), 1);
  driver_session session{seconds(60)};
  EXPECT_FALSE(connect_broker(session, "mqtts://127.0.0.1", broker.port()));
  EXPECT_EQ(registered("mqtts://127.0.0.1"), nullptr);
}

}  // namespace
}  // namespace kvt::test
