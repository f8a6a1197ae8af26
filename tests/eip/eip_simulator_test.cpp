// The EtherNet/IP test controller, checked against st-ethernet-ip (an npm
// client written by others): what it reads is what the simulator holds, and
// what it writes arrives, over connected and over unconnected messaging.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <sstream>
#include <string>

#include "eip/eip_simulator.hpp"

namespace kvt::test {
namespace {

// Runs a shell command and returns what it printed.
std::string run(const std::string& command) {
  std::string out;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return out;
  std::array<char, 4096> buffer{};
  while (const std::size_t n = std::fread(buffer.data(), 1, buffer.size(), pipe)) out.append(buffer.data(), n);
  ::pclose(pipe);
  return out;
}

std::string node_path() {
  std::string path = run("command -v node");
  while (!path.empty() && (path.back() == '\n' || path.back() == '\r')) path.pop_back();
  return path;
}

struct client_case {
  const char* mode;
  std::size_t forward_opens;  // Forward Opens the client makes
  std::size_t unconnected_sends;
};

TEST(eip_simulator, independent_client_reads_and_writes) {
  const std::string node = node_path();
  const std::filesystem::path dir = KVT_EIP_CLIENT_DIR;
  ASSERT_FALSE(node.empty()) << "node is not installed (scripts/setup.sh installs it)";
  ASSERT_TRUE(std::filesystem::exists(dir / "node_modules" / "st-ethernet-ip"))
      << "run: npm ci --prefix " << dir.string() << " (scripts/setup.sh does)";

  for (const client_case& c : {client_case{"connected", 1, 0}, client_case{"unconnected", 0, 10}}) {
    SCOPED_TRACE(c.mode);
    eip_simulator sim;
    sim.set_int32("Counter", 123456);
    sim.set_float("Temperature", -17.25f);
    sim.set_bool("Running", true);
    sim.set_float("Program:Main.Speed", 1450.5f);
    sim.set_int32("Arr[3]", -77);

    const std::string output =
        run(node + " " + (dir / "check.js").string() + " " + std::to_string(sim.port()) + " " + c.mode +
            " read:Counter read:Temperature read:Running read:Program:Main.Speed read:Arr[3]"
            " group:Counter,Level,Program:Main.Count write:Counter=-42 write:Program:Aux.Level=31000 2>&1");

    // Each line the client must print, in order.
    const char* expected[] = {
        "read Counter 123456",        "read Temperature -17.25", "read Running true",
        "read Program:Main.Speed 1450.5", "read Arr[3] -77",      "read Counter 123456",
        "read Level 1200",            "read Program:Main.Count 7", "wrote Counter -42",
        "wrote Program:Aux.Level 31000", "done"};
    std::istringstream lines(output);
    std::string line;
    for (const char* want : expected) {
      ASSERT_TRUE(std::getline(lines, line)) << "missing \"" << want << "\" in:\n" << output;
      EXPECT_EQ(line, want) << output;
    }

    EXPECT_EQ(sim.get_int32("Counter"), -42);
    EXPECT_EQ(sim.get_int32("Program:Aux.Level"), 31000);
    EXPECT_EQ(sim.sessions_registered(), 1u);
    EXPECT_EQ(sim.forward_opens(0x54) + sim.forward_opens(0x5B), c.forward_opens);
    EXPECT_EQ(sim.forward_closes(), c.forward_opens);
    EXPECT_EQ(sim.unconnected_sends(), c.unconnected_sends);
    EXPECT_EQ(sim.multiple_service_packets(), 1u);
    EXPECT_EQ(sim.requests(0x4C), 5u + 3u + 2u);  // reads, the group's, the writes' type look-ups
    EXPECT_EQ(sim.requests(0x4D), 2u);
  }
}

}  // namespace
}  // namespace kvt::test
