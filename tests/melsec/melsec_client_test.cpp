// The MELSEC test controller against mcprotocol, an MC protocol client from
// the npm registry written by others, in 3E frames and binary code: what it
// reads is what the simulator holds, the words it writes arrive, and its
// bit write (sent with a subcommand no CPU has) changes nothing.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>

#include "melsec/melsec_simulator.hpp"
#include "support/node_tools.hpp"

namespace kvt::test {
namespace {

void set_float(melsec_simulator& sim, std::uint32_t number, float value) {
  std::uint32_t raw = 0;
  std::memcpy(&raw, &value, sizeof raw);
  sim.set_word("D", number, static_cast<std::uint16_t>(raw));
  sim.set_word("D", number + 1, static_cast<std::uint16_t>(raw >> 16));
}

float get_float(const melsec_simulator& sim, std::uint32_t number) {
  const std::uint32_t raw = sim.word("D", number) | static_cast<std::uint32_t>(sim.word("D", number + 1)) << 16;
  float value = 0;
  std::memcpy(&value, &raw, sizeof value);
  return value;
}

// Pieces of the client's JSON line: the values it read before and after
// its writes (names as check.js gives them).
const char* const expected[] = {
    R"("words":[1234,-2,0,32767])",
    R"("real":2.5)",
    R"("dint":100000)",
    R"("wordBit":true)",
    R"("relays":[true,false,true,true,false])",
    R"("input":true)",
    R"("outputs":[false,true,false])",
    R"("timer":77)",
    R"("timerContact":true)",
    R"("counter":88)",
    R"("counterContact":true)",
    R"("readBad":false)",
    R"("written":["newWords","newReal","timerValue","relayOn"])",
    R"("newWords":[11,-22,333])",
    R"("newReal":-0.75)",
    R"("timerValue":4321)",
    R"("readBackBad":false)",
};

TEST(melsec_simulator, independent_client_reads_and_writes) {
  const std::string node = node_path();
  const std::filesystem::path dir = KVT_MELSEC_CLIENT_DIR;
  ASSERT_FALSE(node.empty()) << "node is not installed (scripts/setup.sh installs it)";
  ASSERT_TRUE(std::filesystem::exists(dir / "node_modules" / "mcprotocol"))
      << "run: npm ci --prefix " << dir.string() << " (scripts/setup.sh does)";

  melsec_simulator sim;
  sim.set_word("D", 100, 1234);
  sim.set_word("D", 101, 0xFFFE);
  sim.set_word("D", 103, 0x7FFF);
  set_float(sim, 200, 2.5F);
  sim.set_word("D", 210, 0x86A0);
  sim.set_word("D", 211, 0x0001);
  sim.set_word("D", 300, 0x0008);
  for (std::uint32_t m : {10u, 12u, 13u}) sim.set_bit("M", m, true);
  sim.set_bit("M", 15, true);  // next to the range read: must not show
  sim.set_bit("X", 0x1F, true);
  sim.set_bit("Y", 0x21, true);
  sim.set_word("TN", 5, 77);
  sim.set_bit("TS", 5, true);
  sim.set_word("CN", 6, 88);
  sim.set_bit("CS", 6, true);

  const std::string output = run_command(node + " " + (dir / "check.js").string() + " " +
                                         std::to_string(sim.port()) + " 2>&1");
  ASSERT_EQ(output.rfind("{\"read\":", 0), 0u) << output;
  for (const char* piece : expected) EXPECT_NE(output.find(piece), std::string::npos) << piece << " in:\n" << output;

  EXPECT_EQ(sim.word("D", 400), 11);
  EXPECT_EQ(sim.word("D", 401), 0x10000 - 22);
  EXPECT_EQ(sim.word("D", 402), 333);
  EXPECT_EQ(get_float(sim, 410), -0.75F);
  // Its bit write came with subcommand 0x0100 (high byte first) and was
  // refused: the relay did not change.
  EXPECT_FALSE(sim.bit("M", 20));
  EXPECT_EQ(sim.word("TN", 7), 4321);
  EXPECT_EQ(sim.word("D", 100), 1234);  // untouched
  // Batch reads in word units and batch writes, nothing else.
  EXPECT_GE(sim.requests(0x0401), 2u);
  EXPECT_EQ(sim.requests(0x1401), 4u);
  EXPECT_EQ(sim.requests(), sim.requests(0x0401) + sim.requests(0x1401));
}

}  // namespace
}  // namespace kvt::test
