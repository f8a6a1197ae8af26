// EtherNet/IP device discovery: the reply parser, one broadcast round in a
// private test network with simulated devices, and the "DiscoverDevices"
// commands over the real command server.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <future>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "devices/identity_device.hpp"
#include "devices/private_network.hpp"
#include "plc/devices/discovery.hpp"
#include "plc/devices/list_identity.hpp"
#include "server/client_hub.hpp"
#include "server/handlers/discovery_jobs.hpp"
#include "server/handlers/websocket_discover_responder.hpp"
#include "server/handover.hpp"
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

// However a device answers, the round reports each identity it sends and
// ends at its time-out, counted from the request: later datagrams never
// extend it.
TEST(DiscoveryRound, ReportsEveryReplyAndEndsAtItsDeadline) {
  REQUIRE_TEST_NETWORK();
  struct round_case {
    const char* name;
    answering how;
    std::uint32_t timeout_ms;
    int min_found;
    int max_found;
  };
  const round_case cases[] = {
      {"answers twice", {.replies = 2}, 300, 2, 2},
      {"zero-length datagram before the reply", {.empty_datagram_first = true}, 300, 1, 1},
      {"answers every 50 ms for 5 s", {.repeat_every = 50ms, .repeat_for = 5s}, 500, 5, 12},
      {"answers as fast as it can for 5 s", {.repeat_every = 0us, .repeat_for = 5s}, 300, 2, 1 << 30},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    identity_device device({}, c.how);
    ASSERT_TRUE(device.listening());
    int found = 0;
    bool all_from_the_device = true;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(eip::discover(c.timeout_ms, [&](const eip::device_info& d) {
      ++found;
      all_from_the_device = all_from_the_device && d.ip == network().device_ip && d.state == 3;
    }));
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(c.timeout_ms - 10));
    EXPECT_LT(took, 3s);  // the device goes on for 5 s
    EXPECT_GE(found, c.min_found);
    EXPECT_LE(found, c.max_found);
    EXPECT_TRUE(all_from_the_device);
  }
}

TEST(DiscoveryRound, AStopEndsTheRoundWithoutWaitingForItsTimeOut) {
  REQUIRE_TEST_NETWORK();
  identity_device chatty({}, {.repeat_every = 50ms, .repeat_for = 10s});
  std::atomic<bool> stop{false};
  std::atomic<int> found{0};
  const auto start = std::chrono::steady_clock::now();
  std::thread round([&] {
    EXPECT_TRUE(eip::discover(30'000, [&](const eip::device_info&) { found.fetch_add(1); }, stop));
  });
  EXPECT_TRUE(eventually([&] { return found.load() >= 2; }, 2s));
  stop.store(true);
  round.join();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
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
  identity_device slow({}, {.delay = 300ms});  // answers late in the round
  EXPECT_EQ(ask(31, "DiscoverDevicesStart", start(2, 3, 800)), R"({"id":31,"data":31})");
  ASSERT_TRUE(eventually([&] { return slow.requests() == 1; }, 2s));
  EXPECT_EQ(ask(32, "DiscoverDevicesStop", R"({"id":31})"), R"({"id":32,"data":true})");
  EXPECT_TRUE(eventually([] { return server::discovery_threads_running() == 0; }, 5s));
  EXPECT_FALSE(page_->next_text(100ms).has_value());
  EXPECT_EQ(slow.requests(), 1);  // no second round
}

std::string number_reply(int id) {
  return R"({"id":)" + std::to_string(id) + R"(,"data":)" + std::to_string(id) + "}";
}

TEST_F(DiscoverCommands, AtMostEightSearchesRunAndAStopEndsItsThreadPromptly) {
  REQUIRE_TEST_NETWORK();
  for (int id = 41; id <= 48; ++id) EXPECT_EQ(ask(id, "DiscoverDevicesStart", start(2, 1, 30000)), number_reply(id));
  EXPECT_EQ(server::discovery_threads_running(), 8);
  EXPECT_EQ(ask(49, "DiscoverDevicesStart", start(2, 1, 30000)), R"({"id":49,"data":null,"error":"Internal error"})");
  // A stopped search's thread ends long before its 30 s round would.
  EXPECT_EQ(ask(50, "DiscoverDevicesStop", R"({"id":41})"), R"({"id":50,"data":true})");
  EXPECT_TRUE(eventually([] { return server::discovery_threads_running() == 7; }, 1s));
  EXPECT_EQ(ask(49, "DiscoverDevicesStart", start(2, 1, 30000)), number_reply(49));
  for (int id = 42; id <= 49; ++id) ask(100 + id, "DiscoverDevicesStop", R"({"id":)" + std::to_string(id) + "}");
  EXPECT_TRUE(eventually([] { return server::discovery_threads_running() == 0; }, 1s));
}

// Keeps the server thread in one handler until released, at the latest when
// this goes (declare it after the server, so that it goes first).
class server_thread_hold {
 public:
  server_thread_hold() {
    auto holding = std::make_shared<std::promise<void>>();
    auto held = holding->get_future();
    holds_ = server::post_to_server([gate = release_.get_future().share(), holding] {
      holding->set_value();
      gate.wait();
    });
    if (holds_) held.wait();
  }
  ~server_thread_hold() { release(); }
  server_thread_hold(const server_thread_hold&) = delete;
  server_thread_hold& operator=(const server_thread_hold&) = delete;

  bool holds() const noexcept { return holds_; }
  void release() {
    if (holds_) release_.set_value();
    holds_ = false;
  }

 private:
  std::promise<void> release_;
  bool holds_ = false;
};

// A search hands the server thread at most so many events at a time; the
// rest are dropped, and each place comes back once the server thread has
// taken its event.
TEST_F(DiscoverCommands, ASearchHandsTheServerThreadBoundedEvents) {
  ASSERT_EQ(ask(70, "DiscoverDevicesStop", R"({"id":70})"), R"({"id":70,"data":true})");  // the page is registered
  std::promise<server::connection_ptr> page_connection;  // as the server thread sees it
  ASSERT_TRUE(server::post_to_server([&] { page_connection.set_value(server::clients().page()); }));
  auto responder = std::make_shared<server::websocket_discover_responder>(page_connection.get_future().get());
  server_thread_hold hold;
  ASSERT_TRUE(hold.holds());
  const eip::device_info device{"10.77.0.2", 1, 14, "PLC", 3};
  for (std::size_t i = 0; i < server::max_discovery_events_in_flight + 20; ++i) responder->on_device(71, device);
  EXPECT_EQ(responder->events_in_flight(), server::max_discovery_events_in_flight);
  hold.release();
  std::size_t received = 0;
  while (page_->next_text(500ms)) ++received;
  EXPECT_EQ(received, server::max_discovery_events_in_flight);
  EXPECT_EQ(responder->events_in_flight(), 0u);
}

TEST(EventHandOver, APlaceComesBackWhenItsWorkIsDropped) {
  // No server runs here: the work is dropped at once, and its place with it.
  auto budget = std::make_shared<server::handover_budget>(1);
  auto place = budget->claim();
  ASSERT_TRUE(place);
  EXPECT_FALSE(budget->claim());
  server::post_event({}, "event", std::move(place));
  EXPECT_EQ(budget->in_flight(), 0u);
  EXPECT_TRUE(budget->claim());
}

// Resident memory of this process.
std::size_t resident_bytes() {
  std::ifstream statm("/proc/self/statm");
  std::size_t pages = 0;
  std::size_t resident = 0;
  statm >> pages >> resident;
  return resident * static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
}

// Reads `c` until the reply with `id` arrives, counting the events before
// it; nullopt after `timeout`. Messages are taken in batches, so that a
// flood of events costs the reader little.
std::optional<std::string> reply_among_events(ws_client& c, int id, std::int64_t& events,
                                              std::chrono::milliseconds timeout) {
  const std::string prefix = R"({"id":)" + std::to_string(id) + ",";
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left <= 0ms) return std::nullopt;
    std::optional<std::string> reply;
    for (auto& m : c.take_all(left)) {
      if (m.text && m.bytes.starts_with(R"({"type":"DeviceDiscovered")")) ++events;
      else if (m.text && m.bytes.starts_with(prefix)) reply = std::move(m.bytes);
    }
    if (reply) return reply;
  }
}

// A device floods a running search with replies as fast as it can send them.
// While the server thread is held up, the search hands it only a bounded
// number of events, so memory stays bounded; once free, the server answers
// every command in time, and it stops when asked, as does the search.
//
// The search reports to the connection that started it; then another
// connection becomes the page, and the commands' replies go there. So the
// replies measure the server thread, not how fast one reader takes the
// flood of events (beyond its back-pressure limit a connection drops
// messages, whatever they are).
TEST(DiscoveryFlood, TheServerKeepsAnsweringAndStopsWhileASearchIsFlooded) {
  REQUIRE_TEST_NETWORK();
  using clock = std::chrono::steady_clock;
  std::optional<server_fixture> server(std::in_place);
  ws_client searcher(server->port());
  searcher.register_as_page();
  std::optional<identity_device> flood(std::in_place, identity{}, answering{.repeat_every = 0us, .repeat_for = 60s});
  std::int64_t events = 0;
  searcher.send_text(R"({"id":61,"type":"DiscoverDevicesStart","data":{"protocol":2,"attempts":10,"timeout":30000}})");
  ASSERT_EQ(reply_among_events(searcher, 61, events, 5s), number_reply(61));
  ASSERT_TRUE(searcher.next_text()) << "no event from the flood";
  std::atomic<std::int64_t> events_read{0};
  std::jthread drain([&](std::stop_token stop) {
    while (!stop.stop_requested()) events_read.fetch_add(static_cast<std::int64_t>(searcher.take_all(20ms).size()));
  });
  ws_client page(server->port());
  page.register_as_page();

  // The server thread held up for 2 s: this process's memory meanwhile.
  std::size_t rss_before = 0;
  std::size_t rss_peak = 0;
  {
    server_thread_hold hold;
    ASSERT_TRUE(hold.holds());
    rss_before = rss_peak = resident_bytes();
    for (const auto until = clock::now() + 2s; clock::now() < until; std::this_thread::sleep_for(20ms))
      rss_peak = std::max(rss_peak, resident_bytes());
  }
  EXPECT_LT(rss_peak - rss_before, std::size_t{16} << 20);

  // The page keeps asking while the events pour in.
  int answered = 0;
  auto slowest = clock::duration::zero();
  for (const auto until = clock::now() + 2s; clock::now() < until;) {
    const int id = 1000 + answered;
    const auto asked = clock::now();
    page.send_text(R"({"id":)" + std::to_string(id) + R"(,"type":"ServerStatus","data":{"host":"10.9.8.7"}})");
    ASSERT_EQ(reply_among_events(page, id, events, 2s), R"({"id":)" + std::to_string(id) + R"(,"data":false})");
    slowest = std::max(slowest, clock::now() - asked);
    ++answered;
  }

  const auto stopping_since = clock::now();
  auto stopping = std::async(std::launch::async, [&] { server.reset(); });
  EXPECT_EQ(stopping.wait_for(2s), std::future_status::ready) << "the server did not stop";
  const auto stop_took = clock::now() - stopping_since;
  server::stop_discovery(61);
  EXPECT_TRUE(eventually([] { return server::discovery_threads_running() == 0; }, 1s));
  const std::int64_t flood_sent = flood->replies_sent();
  flood.reset();
  stopping.get();
  drain.request_stop();
  drain.join();
  EXPECT_GT(events_read.load(), 1000);
  const auto ms = [](clock::duration d) {
    return static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(d).count());
  };
  std::printf("flood: %lld replies sent, %lld events read, resident memory +%zu KiB while the server was held, "
              "%d ServerStatus answered (slowest %lld ms), server stopped in %lld ms\n",
              static_cast<long long>(flood_sent), static_cast<long long>(events_read.load()),
              (rss_peak - rss_before) / 1024, answered, ms(slowest), ms(stop_took));
}

}  // namespace
}  // namespace kvt::test
