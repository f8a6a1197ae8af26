// The ADS test device, checked against ads-client (an npm client written by
// others): what it reads is what the simulator holds, what it writes
// arrives, and its symbol listing is the simulator's. Then the raw frames
// the device answers for the sum commands, errors and the router's port
// connect, built here byte by byte.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ads/ads_simulator.hpp"
#include "support/loopback_client.hpp"
#include "support/node_tools.hpp"

namespace kvt::test {
namespace {

using bytes = std::vector<std::uint8_t>;


const char* const operations =
    " info read:MAIN.nCounter read:GVL.fSpeed read:GVL.bRunning read:GVL.fPosition read:MAIN.nInt"
    " write:MAIN.nCounter=-42 write:GVL.fPosition=2.5 handle:MAIN.nCounter multi:GVL.bRunning,MAIN.nInt"
    " missing:MAIN.nNothing list";
const char* const expected[] = {
    "device Plc30 App 3.1.4024",
    "state Run",
    "read MAIN.nCounter 123456",
    "read GVL.fSpeed -17.25",
    "read GVL.bRunning true",
    "read GVL.fPosition 3.125",
    "read MAIN.nInt -1200",
    "wrote MAIN.nCounter -42",
    "wrote GVL.fPosition 2.5",
    "handle MAIN.nCounter d6ffffff",
    "multi GVL.bRunning 01",
    "multi MAIN.nInt 50fb",
    "missing MAIN.nNothing 1808",
    "symbol MAIN.bEnable BOOL 4040 0 1",
    "symbol MAIN.nByte BYTE 4040 1 1",
    "symbol MAIN.nUSInt USINT 4040 2 1",
    "symbol MAIN.nSInt SINT 4040 3 1",
    "symbol MAIN.nWord WORD 4040 4 2",
    "symbol MAIN.nUInt UINT 4040 6 2",
    "symbol MAIN.nInt INT 4040 8 2",
    "symbol MAIN.nDWord DWORD 4040 12 4",
    "symbol MAIN.nUDInt UDINT 4040 16 4",
    "symbol MAIN.nCounter DINT 4040 20 4",
    "symbol MAIN.fTemperature REAL 4040 24 4",
    "symbol MAIN.nBig LINT 4040 32 8",
    "symbol GVL.fSpeed REAL 4040 40 4",
    "symbol GVL.fPosition LREAL 4040 48 8",
    "symbol GVL.bRunning BOOL 4040 56 1",
    "symbol GVL.bStart BOOL f020 0 1",
    "symbol GVL.bLamp BOOL f030 0 1",
    "symbol GVL.nMarker INT 4020 10 2",
    "done",
};

TEST(ads_simulator, independent_client_reads_writes_and_lists) {
  const std::string node = node_path();
  const std::filesystem::path dir = KVT_ADS_CLIENT_DIR;
  ASSERT_FALSE(node.empty()) << "node is not installed (scripts/setup.sh installs it)";
  ASSERT_TRUE(std::filesystem::exists(dir / "node_modules" / "ads-client"))
      << "run: npm ci --prefix " << dir.string() << " (scripts/setup.sh does)";

  ads_simulator sim;
  sim.set_int("MAIN.nCounter", 123456);
  sim.set_real("GVL.fSpeed", -17.25);
  sim.set_bool("GVL.bRunning", true);
  sim.set_real("GVL.fPosition", 3.125);
  sim.set_int("MAIN.nInt", -1200);

  const std::string output =
      run_command(node + " " + (dir / "check.js").string() + " " + std::to_string(sim.port()) + operations + " 2>&1");
  std::istringstream lines(output);
  std::string line;
  for (const char* want : expected) {
    ASSERT_TRUE(std::getline(lines, line)) << "missing \"" << want << "\" in:\n" << output;
    EXPECT_EQ(line, want) << output;
  }

  EXPECT_EQ(sim.get_int("MAIN.nCounter"), -42);
  EXPECT_EQ(sim.get_real("GVL.fPosition"), 2.5);
  EXPECT_EQ(sim.get_real("GVL.fSpeed"), -17.25);  // untouched
  EXPECT_EQ(sim.connections_accepted(), 1u);
  EXPECT_EQ(sim.port_connects(), 0u);  // it was given its own address
  EXPECT_EQ(sim.handles_open(), 0u);
  // Symbol info once per name: the client keeps what it learnt.
  EXPECT_EQ(sim.group_requests(0xF009), 6u);
  EXPECT_EQ(sim.group_requests(0xF003), 1u);
  EXPECT_EQ(sim.group_requests(0xF005), 1u);
  EXPECT_EQ(sim.group_requests(0xF006), 1u);
  EXPECT_EQ(sim.group_requests(0xF00B), 1u);
  EXPECT_EQ(sim.sum_item_counts(), std::vector<std::uint32_t>{2});
  EXPECT_EQ(sim.requests(6), 2u);  // it subscribes to the runtime state and the symbol version
  EXPECT_GE(sim.requests(3), 3u);
}

// --- raw frames ------------------------------------------------------------------

void u16(bytes& b, std::uint32_t v) {
  b.push_back(static_cast<std::uint8_t>(v));
  b.push_back(static_cast<std::uint8_t>(v >> 8));
}
void u32(bytes& b, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
void text(bytes& b, const std::string& s) { b.insert(b.end(), s.begin(), s.end()); }

// The loopback client with whole AMS/TCP frames.
class wire : public loopback_client {
 public:
  using loopback_client::loopback_client;

  // One whole frame as the AMS/TCP header announces it.
  bytes frame() {
    bytes head = receive(6);
    if (head.size() < 6) return head;
    const std::size_t length = head[2] | head[3] << 8 | head[4] << 16 | static_cast<std::size_t>(head[5]) << 24;
    bytes rest = receive(length);
    head.insert(head.end(), rest.begin(), rest.end());
    return head;
  }
};

// An ADS request from 127.0.0.1.1.20:32750 to 127.0.0.1.1.1:`port`.
bytes request(std::uint16_t port, std::uint16_t command, std::uint32_t invoke, const bytes& data) {
  bytes b;
  u16(b, 0);
  u32(b, static_cast<std::uint32_t>(32 + data.size()));
  b.insert(b.end(), {127, 0, 0, 1, 1, 1});
  u16(b, port);
  b.insert(b.end(), {127, 0, 0, 1, 1, 20});
  u16(b, 32750);
  u16(b, command);
  u16(b, 0x0004);  // request, ADS command
  u32(b, static_cast<std::uint32_t>(data.size()));
  u32(b, 0);
  u32(b, invoke);
  b.insert(b.end(), data.begin(), data.end());
  return b;
}

// The reply the device must send: addresses swapped, state flags 0x0005.
bytes reply(std::uint16_t port, std::uint16_t command, std::uint32_t invoke, std::uint32_t ams_error,
            const bytes& data) {
  bytes b;
  u16(b, 0);
  u32(b, static_cast<std::uint32_t>(32 + data.size()));
  b.insert(b.end(), {127, 0, 0, 1, 1, 20});
  u16(b, 32750);
  b.insert(b.end(), {127, 0, 0, 1, 1, 1});
  u16(b, port);
  u16(b, command);
  u16(b, 0x0005);
  u32(b, static_cast<std::uint32_t>(data.size()));
  u32(b, ams_error);
  u32(b, invoke);
  b.insert(b.end(), data.begin(), data.end());
  return b;
}

struct frame_case {
  const char* what;
  std::uint16_t port;
  std::uint16_t command;
  bytes data;
  std::uint32_t ams_error;
  bytes answer;
};

bytes read_write(std::uint32_t group, std::uint32_t offset, std::uint32_t read_length, const bytes& data) {
  bytes b;
  u32(b, group);
  u32(b, offset);
  u32(b, read_length);
  u32(b, static_cast<std::uint32_t>(data.size()));
  b.insert(b.end(), data.begin(), data.end());
  return b;
}

std::vector<frame_case> frame_cases() {
  std::vector<frame_case> cases;
  {  // sum read: MAIN.nCounter, a group that does not exist, an offset past %M
    bytes items;
    for (const std::uint32_t v : {0x4040u, 20u, 4u, 0x1234u, 0u, 2u, 0x4020u, 4096u, 1u}) u32(items, v);
    bytes answer;
    u32(answer, 0);
    u32(answer, 19);
    for (const std::uint32_t v : {0u, 0x702u, 0x703u}) u32(answer, v);
    answer.insert(answer.end(), {0x04, 0x03, 0x02, 0x01, 0, 0, 0});
    cases.push_back({"sum read", 851, 9, read_write(0xF080, 3, 19, items), 0, answer});
  }
  {  // sum write: MAIN.nInt = 0x1234, and two bytes running past the end of %M
    bytes items;
    for (const std::uint32_t v : {0x4040u, 8u, 2u, 0x4020u, 4095u, 2u}) u32(items, v);
    items.insert(items.end(), {0x34, 0x12, 0xAA, 0xBB});
    bytes answer;
    for (const std::uint32_t v : {0u, 8u, 0u, 0x705u}) u32(answer, v);
    cases.push_back({"sum write", 851, 9, read_write(0xF081, 2, 8, items), 0, answer});
  }
  {
    bytes answer;
    u32(answer, 0);
    u32(answer, 2);
    answer.insert(answer.end(), {0x34, 0x12});
    bytes data;
    for (const std::uint32_t v : {0x4040u, 8u, 2u}) u32(data, v);
    cases.push_back({"read after the sum write", 851, 2, data, 0, answer});
  }
  {  // sum read write: a handle by name, symbol info of an unknown name
    bytes items;
    for (const std::uint32_t v : {0xF003u, 0u, 4u, 14u, 0xF009u, 0u, 1024u, 5u}) u32(items, v);
    text(items, std::string("MAIN.nCounter\0Nope\0", 19));
    bytes answer;
    for (const std::uint32_t v : {0u, 20u, 0u, 4u, 0x710u, 0u, 0x1A000001u}) u32(answer, v);
    cases.push_back({"sum read write", 851, 9, read_write(0xF082, 2, 1024, items), 0, answer});
  }
  {
    bytes answer;
    for (const std::uint32_t v : {0x705u, 0u}) u32(answer, v);
    cases.push_back({"sum of no items", 851, 9, read_write(0xF080, 0, 0, {}), 0, answer});
  }
  for (const auto& [what, group, offset, length, code] :
       std::initializer_list<std::tuple<const char*, std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t>>{
           {"unknown group", 0x1234, 0, 4, 0x702},
           {"offset past the data area", 0x4040, 65536, 1, 0x703},
           {"length past the data area", 0x4040, 65530, 8, 0x705},
           {"released handle", 0xF005, 0x1A0000FF, 4, 0x710}}) {
    bytes data;
    for (const std::uint32_t v : {group, offset, length}) u32(data, v);
    bytes answer;
    for (const std::uint32_t v : {code, 0u}) u32(answer, v);
    cases.push_back({what, 851, 2, data, 0, answer});
  }
  {
    bytes name;
    text(name, std::string("MAIN.nNothing\0", 14));
    bytes answer;
    for (const std::uint32_t v : {0x710u, 0u}) u32(answer, v);
    cases.push_back({"symbol info of an unknown name", 851, 9, read_write(0xF009, 0, 1024, name), 0, answer});
  }
  {
    bytes answer;
    u32(answer, 0);
    u16(answer, 5);
    u16(answer, 0);
    cases.push_back({"read state", 851, 4, {}, 0, answer});
    cases.push_back({"an AMS port nobody has", 852, 4, {}, 6, {}});
    bytes unsupported;
    u32(unsupported, 0x701);
    cases.push_back({"an unknown command", 851, 12, {}, 0, unsupported});
  }
  return cases;
}

TEST(ads_simulator, answers_sums_and_errors_frame_by_frame) {
  ads_simulator sim;
  sim.set_int("MAIN.nCounter", 0x01020304);
  wire w(sim.port());
  ASSERT_TRUE(w.connected());
  std::uint32_t invoke = 100;
  for (const frame_case& c : frame_cases()) {
    SCOPED_TRACE(c.what);
    ++invoke;
    w.send(request(c.port, c.command, invoke, c.data));
    EXPECT_EQ(w.frame(), reply(c.port, c.command, invoke, c.ams_error, c.answer));
  }
  EXPECT_EQ(sim.get_int("MAIN.nInt"), 0x1234);
  EXPECT_EQ(sim.sum_item_counts(), (std::vector<std::uint32_t>{3, 2, 2, 0}));
  EXPECT_EQ(sim.group_requests(0xF080), 2u);
  EXPECT_EQ(sim.handles_open(), 1u);
}

TEST(ads_simulator, router_port_connect_faults_and_refusal) {
  ads_simulator sim;
  {
    wire w(sim.port());
    w.send({0x00, 0x10, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00});  // port connect, any port
    EXPECT_EQ(w.frame(), (bytes{0x00, 0x10, 0x08, 0x00, 0x00, 0x00, 127, 0, 0, 1, 1, 1, 0x00, 0x80}));
    EXPECT_EQ(sim.port_connects(), 1u);

    bytes state;
    u32(state, 0);
    u16(state, 5);
    u16(state, 0);
    sim.inject_fault(ads_simulator::fault::lying_length);
    w.send(request(851, 4, 1, {}));
    bytes lying = reply(851, 4, 1, 0, state);
    lying[6 + 20] = 12;  // the AMS header's data length: 4 more than the 8 that follow
    EXPECT_EQ(w.frame(), lying);

    sim.inject_ads_error(0x745);  // then a timeout answer
    w.send(request(851, 4, 2, {}));
    EXPECT_EQ(w.frame(), reply(851, 4, 2, 0, bytes{0x45, 0x07, 0, 0}));

    sim.inject_fault(ads_simulator::fault::close_mid_reply);
    w.send(request(851, 4, 3, {}));
    const bytes whole = reply(851, 4, 3, 0, state);
    EXPECT_EQ(w.receive(100), bytes(whole.begin(), whole.begin() + 23));
  }
  sim.drop_connections(std::chrono::milliseconds(300));
  {
    wire w(sim.port());
    ASSERT_TRUE(w.connected());  // accepted, then reset
    w.send(request(851, 4, 4, {}));  // may already fail: the reset can come first
    EXPECT_TRUE(w.frame().empty());
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  const std::uint16_t port = sim.port();
  sim.stop();
  sim.start();
  EXPECT_EQ(sim.port(), port);
  wire w(sim.port());
  w.send(request(851, 4, 5, {}));
  bytes state;
  u32(state, 0);
  u16(state, 5);
  u16(state, 0);
  EXPECT_EQ(w.frame(), reply(851, 4, 5, 0, state));
  EXPECT_EQ(sim.connections_accepted(), 3u);
}

}  // namespace
}  // namespace kvt::test
