// The OPC UA driver against an OPC UA server written by others: node-opcua's
// (independent_server/server.js, run by Node.js as a child process on a
// loopback port), so that the driver is not only checked against the library
// it is built on. The page's side is played for real, as in the driver's
// other end-to-end tests.
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "plc/opcua/driver.hpp"
#include "plc/value_type.hpp"
#include "support/child_process.hpp"
#include "support/driver_session.hpp"
#include "support/eventually.hpp"
#include "support/node_tools.hpp"
#include "support/ws_client.hpp"

namespace kvt::test {
namespace {

namespace vt = kvt::plc::value_type;

const std::filesystem::path server_dir = KVT_OPCUA_SERVER_DIR;

std::int32_t bits_of(float f) { return plc::float_to_slot(f); }

// One variable of the server's Types folder, bound with the type it has.
struct typed_node {
  std::string type_name;     // the server's name for the data type
  std::uint32_t value_type;  // bound as
  std::int32_t initial;      // the slot for the server's starting value
  std::int32_t delivered;    // what the page then writes
  std::int32_t read_back;    // the slot once the written value is read again
  std::string printed;       // the value as the server reports it written
};

const std::vector<typed_node> typed_nodes{
    // A BOOL of 2 is true; narrow slots carry junk above their width.
    {"Boolean", vt::boolean, 1, 2, 1, "true"},
    {"Byte", vt::u8, 0xAB, 0x1C5, 0xC5, "197"},
    {"UInt16", vt::u16, 0xBEEF, 0x71234, 0x1234, "4660"},
    {"UInt32", vt::u32, static_cast<std::int32_t>(0xDEADBEEF), static_cast<std::int32_t>(0xCAFEBABE),
     static_cast<std::int32_t>(0xCAFEBABE), "3405691582"},
    {"SByte", vt::s8, 0xFE, 0x85, 0x85, "-123"},
    {"Int16", vt::s16, 0xFED4, static_cast<std::int32_t>(0xFFFF8001), 0x8001, "-32767"},
    {"Int32", vt::s32, -70000, -123456, -123456, "-123456"},
    {"Float", vt::real, bits_of(3.5f), bits_of(-1.5f), bits_of(-1.5f), "-1.5"},
    {"Double", vt::lreal, bits_of(-1234.25f), bits_of(6.25f), bits_of(6.25f), "6.25"},
};

std::string node_of(const typed_node& n) { return "ns=1;s=Types." + n.type_name; }

signal_table typed_table() {
  std::vector<named_signal> signals;
  for (const typed_node& n : typed_nodes) signals.push_back({node_of(n), plc::make_tag(n.value_type, 0)});
  return signal_table::of(signals);
}

// Server runs: with node-opcua's own operation limits, and with limits
// small enough that each cycle takes several calls.
struct server_case {
  const char* name;
  std::vector<std::string> limits;  // MaxNodesPerRead, MaxNodesPerWrite
};

void PrintTo(const server_case& c, std::ostream* out) { *out << c.name; }

class OpcuaIndependentServer : public ::testing::TestWithParam<server_case> {
 protected:
  void SetUp() override {
    const std::string node = node_path();
    ASSERT_FALSE(node.empty()) << "node is not installed (scripts/setup.sh installs it)";
    ASSERT_TRUE(std::filesystem::exists(server_dir / "node_modules" / "node-opcua"))
        << "run: npm ci --prefix " << server_dir.string() << " (scripts/setup.sh does)";
    port_ = free_port();
    std::vector<std::string> argv{node, (server_dir / "server.js").string(), std::to_string(port_)};
    for (const std::string& limit : GetParam().limits) argv.push_back(limit);
    server_ = std::make_unique<child_process>(argv, std::vector<std::string>{}, true);
    const std::string ready = "ready " + std::to_string(port_) + "\n";
    const bool started = eventually(
        [&] { return server_->stdout_text().find(ready) != std::string::npos || server_->wait({}).has_value(); },
        std::chrono::seconds(60));
    ASSERT_TRUE(started && server_->stdout_text().find(ready) != std::string::npos)
        << "the server did not start:\n"
        << server_->stderr_text();
  }

  // Whether the server reported the write of `value` to `node`.
  bool wrote(const std::string& node, const std::string& type, const std::string& value) {
    return server_->stdout_text().find("changed " + node + " " + type + " " + value + "\n") != std::string::npos;
  }

  std::uint16_t port_ = 0;
  std::unique_ptr<child_process> server_;
};

TEST_P(OpcuaIndependentServer, EveryValueTypeIsReadAndWritten) {
  driver_session session;
  ASSERT_TRUE(session.connect(connection(plc::protocol::opcua, port_)));
  EXPECT_TRUE(session.status());

  // The server's starting values, read before anything is written.
  ASSERT_TRUE(session.bind({.inputs = signal_table::of({}), .outputs = typed_table()}));
  std::vector<std::int32_t> expected;
  for (const typed_node& n : typed_nodes) expected.push_back(n.initial);
  EXPECT_TRUE(session.eventually_seen(expected)) << ::testing::PrintToString(session.view());

  // Bound as inputs too, the variables are written (zeros first, as every
  // freshly bound input goes out once) and read back.
  ASSERT_TRUE(session.bind({.inputs = typed_table(), .outputs = typed_table()}));
  ASSERT_TRUE(eventually([&] { return wrote(node_of(typed_nodes.back()), "Double", "0"); }))
      << server_->stdout_text();
  pair_list changes;
  expected.clear();
  for (std::uint32_t i = 0; i < typed_nodes.size(); ++i) {
    changes.emplace_back(i, typed_nodes[i].delivered);
    expected.push_back(typed_nodes[i].read_back);
  }
  ASSERT_TRUE(session.deliver(changes));
  EXPECT_TRUE(session.eventually_seen(expected)) << ::testing::PrintToString(session.view());
  for (const typed_node& n : typed_nodes)
    EXPECT_TRUE(wrote(node_of(n), n.type_name, n.printed)) << n.type_name << "\n" << server_->stdout_text();
  EXPECT_TRUE(session.status());
}

// "BrowseNode" against a server written by others: the children in the
// server's order, the array left out, the object listed as a container,
// access as the server declares it. This server's folders organize their
// subfolders, so the name prefix starts at Line1.
TEST_P(OpcuaIndependentServer, BrowseNodeListsAFolder) {
  driver_session session;
  const auto tag = [](std::uint32_t type, std::uint64_t access) { return std::to_string(plc::make_tag(type, access)); };
  const std::string reply = session.ask(
      "BrowseNode", "{\"host\":\"127.0.0.1\",\"port\":" + std::to_string(port_) + ",\"node\":\"ns=1;s=Plant.Line1\"}");
  EXPECT_EQ(reply, "{\"id\":" + std::to_string(session.last_id()) +
                       ",\"data\":[{\"name\":\"Line1.Speed\",\"path\":\"ns=1;s=Plant.Line1.Speed\",\"tag\":" +
                       tag(plc::value_type::lreal, 3) +
                       "},{\"name\":\"Line1.Running\",\"path\":\"ns=1;s=Plant.Line1.Running\",\"tag\":" +
                       tag(plc::value_type::boolean, 2) +
                       "},{\"name\":\"Line1.Motor\",\"path\":\"ns=1;s=Plant.Line1.Motor\",\"tag\":0}]}");
}

INSTANTIATE_TEST_SUITE_P(Limits, OpcuaIndependentServer,
                         ::testing::Values(server_case{"own", {}}, server_case{"small", {"4", "3"}}),
                         [](const ::testing::TestParamInfo<server_case>& run) { return std::string(run.param.name); });

}  // namespace
}  // namespace kvt::test
