// The EtherNet/IP test controller, checked against st-ethernet-ip (an npm
// client written by others): what it lists and reads is what the simulator
// holds, and what it writes arrives, over connected messaging and over
// unconnected messaging with a reply size small enough to page the listing
// and fragment the array reads.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <sstream>
#include <string>

#include "eip/eip_simulator.hpp"
#include "support/node_tools.hpp"

namespace kvt::test {
namespace {


// What the client does, and the lines it must print for it, in order.
const char* const operations =
    " props list read:Counter read:Temperature read:Running read:Program:Main.Speed read:Arr[3]"
    " read:Matrix[1,2] read:Motors[1].Speed group:Counter,Level,Program:Main.Count array:Buffer=1000"
    " write:Counter=-42 write:Program:Aux.Level=31000 fill:Arr=10";
const char* const expected[] = {
    "controller 1756-L83E/B 33.11 run",
    "tag Counter c4 0",
    "tag Temperature ca 0",
    "tag Running c1 0",
    "tag Small c2 0",
    "tag Level c3 0",
    "tag Huge c5 0",
    "tag Precise cb 0",
    "tag Arr c4 1",
    "tag Matrix c3 2",
    "tag Buffer c4 1",
    "tag Motor 100 0 struct",
    "tag Motors 100 1 struct",
    "tag __CONTAINER c4 0",
    "tag Map:Local 69 0 system",
    "tag Program:Main 68 0 system",
    "tag Program:Aux 68 0 system",
    "tag Program:Main.Speed ca 0",
    "tag Program:Main.Count c4 0",
    "tag Program:Main.Mode c3 0",
    "tag Program:Aux.Level c4 0",
    "read Counter 123456",
    "read Temperature -17.25",
    "read Running true",
    "read Program:Main.Speed 1450.5",
    "read Arr[3] -77",
    "read Matrix[1,2] 12",
    "read Motors[1].Speed 2.5",
    "read Counter 123456",
    "read Level 1200",
    "read Program:Main.Count 7",
    "array Buffer 1000 499500 0 999",
    "wrote Counter -42",
    "wrote Program:Aux.Level 31000",
    "filled Arr 10",
    "done",
};

struct client_case {
  const char* mode;
  std::uint32_t unconnected_size;  // room for an unconnected reply
  std::size_t forward_opens;       // the client's Forward Opens (and Closes)
  std::size_t listing_requests;    // one per scope, more when the controller scope is paged
  std::size_t fragments;           // Buffer's 4000 bytes in replies of 496 or 152 bytes of values
};

TEST(eip_simulator, independent_client_lists_reads_and_writes) {
  const std::string node = node_path();
  const std::filesystem::path dir = KVT_EIP_CLIENT_DIR;
  ASSERT_FALSE(node.empty()) << "node is not installed (scripts/setup.sh installs it)";
  ASSERT_TRUE(std::filesystem::exists(dir / "node_modules" / "st-ethernet-ip"))
      << "run: npm ci --prefix " << dir.string() << " (scripts/setup.sh does)";

  for (const client_case& c : {client_case{"connected", 504, 1, 3, 9}, client_case{"unconnected", 160, 0, 4, 27}}) {
    SCOPED_TRACE(c.mode);
    eip_simulator sim;
    sim.set_unconnected_size(c.unconnected_size);
    sim.set_int32("Counter", 123456);
    sim.set_float("Temperature", -17.25f);
    sim.set_bool("Running", true);
    sim.set_float("Program:Main.Speed", 1450.5f);
    sim.set_int32("Arr[3]", -77);
    sim.set_float("Motors[1].Speed", 2.5f);

    const std::string output = run_command(node + " " + (dir / "check.js").string() + " " + std::to_string(sim.port()) +
                                   " " + c.mode + operations + " 2>&1");
    std::istringstream lines(output);
    std::string line;
    for (const char* want : expected) {
      ASSERT_TRUE(std::getline(lines, line)) << "missing \"" << want << "\" in:\n" << output;
      EXPECT_EQ(line, want) << output;
    }

    EXPECT_EQ(sim.get_int32("Counter"), -42);
    EXPECT_EQ(sim.get_int32("Program:Aux.Level"), 31000);
    EXPECT_EQ(sim.get_int32("Arr[9]"), 27);
    EXPECT_EQ(sim.sessions_registered(), 1u);
    EXPECT_EQ(sim.sessions_open(), 0u);
    EXPECT_EQ(sim.forward_opens(0x54) + sim.forward_opens(0x5B), c.forward_opens);
    EXPECT_EQ(sim.forward_closes(), c.forward_opens);
    if (c.forward_opens > 0) {
      EXPECT_EQ(sim.rr_data_requests(), 2u);  // Forward Open and Forward Close; the rest is connected
      EXPECT_GT(sim.unit_data_requests(), 0u);
      EXPECT_EQ(sim.unconnected_sends(), 0u);
    } else {
      EXPECT_EQ(sim.unit_data_requests(), 0u);
      EXPECT_EQ(sim.unconnected_sends(), sim.rr_data_requests());
    }
    EXPECT_EQ(sim.requests(0x55), c.listing_requests);
    EXPECT_EQ(sim.requests(0x52), c.fragments);
    EXPECT_EQ(sim.multiple_service_packets(), 1u);
    EXPECT_GE(sim.requests(0x4D) + sim.requests(0x53), 3u);
  }
}

struct flavour_case {
  eip_simulator::flavour kind;
  const char* mode;
  bool restart;  // the client has run once, and the simulator restarted since
  bool served;   // false: the route path is refused
};

TEST(eip_simulator, independent_client_on_each_flavour_and_after_a_restart) {
  const std::string node = node_path();
  const std::filesystem::path dir = KVT_EIP_CLIENT_DIR;
  ASSERT_FALSE(node.empty()) << "node is not installed (scripts/setup.sh installs it)";
  ASSERT_TRUE(std::filesystem::exists(dir / "node_modules" / "st-ethernet-ip"));

  using f = eip_simulator::flavour;
  for (const flavour_case& c : {flavour_case{f::logix, "connected", true, true},
                                flavour_case{f::logix, "connected-direct", false, false},
                                flavour_case{f::micro800, "connected-direct", false, true},
                                flavour_case{f::micro800, "unconnected-direct", false, true},
                                flavour_case{f::micro800, "connected", false, false},
                                flavour_case{f::omron, "connected", true, true},
                                flavour_case{f::omron, "unconnected-direct", false, true}}) {
    SCOPED_TRACE(std::string(c.mode) + " on flavour " + std::to_string(static_cast<int>(c.kind)));
    eip_simulator sim(c.kind);
    sim.set_int32("Counter", 17);
    const std::string command = node + " " + (dir / "check.js").string() + " " + std::to_string(sim.port()) + " " +
                                c.mode + " read:Counter write:Counter=-5 2>&1";
    if (c.restart) {
      ASSERT_EQ(run_command(command), "read Counter 17\nwrote Counter -5\ndone\n");
      const std::uint16_t port = sim.port();
      sim.stop();
      sim.start();
      EXPECT_EQ(sim.port(), port);
      sim.set_int32("Counter", 17);
    }
    const std::string output = run_command(command);
    if (c.served) {
      EXPECT_EQ(output, "read Counter 17\nwrote Counter -5\ndone\n");
      EXPECT_EQ(sim.get_int32("Counter"), -5);
    } else {
      EXPECT_EQ(output.rfind("error ", 0), 0u) << output;
      EXPECT_EQ(sim.forward_opens_accepted(), 0u);
      EXPECT_EQ(sim.get_int32("Counter"), 17);
    }
    EXPECT_EQ(sim.sessions_registered(), c.restart ? 2u : 1u);
  }
}

}  // namespace
}  // namespace kvt::test
