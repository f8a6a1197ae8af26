// The OPC UA driver against servers that limit the nodes per Read and Write
// call: the driver learns the limits when it connects and cuts each cycle's
// Read and Write into calls within them. A wire tap between driver and
// server records the size of every call.
#include <gtest/gtest.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "opcua/opcua_server.hpp"
#include "opcua/opcua_wire_tap.hpp"
#include "plc/opcua/driver.hpp"
#include "plc/value_type.hpp"
#include "support/driver_session.hpp"

namespace kvt::test {
namespace {

using service = ua_request::service;

// Node counts of the calls that carry `total` nodes under `limit` (0: none).
std::vector<std::size_t> calls_for(std::size_t total, std::uint32_t limit) {
  if (limit == 0) return {total};
  std::vector<std::size_t> calls(total / limit, limit);
  if (total % limit != 0) calls.push_back(total % limit);
  return calls;
}

// The node counts of the tapped calls of one kind, in order.
std::vector<std::size_t> sizes_of(const opcua_wire_tap& tap, service kind) {
  std::vector<std::size_t> sizes;
  for (const ua_request& r : tap.requests())
    if (r.kind == kind) sizes.push_back(r.nodes);
  return sizes;
}

// Whether `sizes` is `cycle` repeated, entered anywhere in it: the tap may
// start listening in the middle of a read phase.
bool repeats(const std::vector<std::size_t>& sizes, const std::vector<std::size_t>& cycle) {
  for (std::size_t start = 0; start < cycle.size(); ++start) {
    bool all = true;
    for (std::size_t j = 0; j < sizes.size() && all; ++j) all = sizes[j] == cycle[(start + j) % cycle.size()];
    if (all) return true;
  }
  return false;
}

signal_table int32_table(std::uint32_t first_id, std::size_t count) {
  std::vector<named_signal> signals;
  for (std::size_t i = 0; i < count; ++i)
    signals.push_back({"ns=2;i=" + std::to_string(first_id + i), plc::make_tag(plc::value_type::s32, 0)});
  return signal_table::of(signals);
}

struct limits_case {
  const char* name;
  opcua_server_limits limits;
  std::size_t outputs;
  std::size_t inputs;
};

constexpr std::uint32_t first_output = 20000;
constexpr std::uint32_t first_input = 40000;

TEST(OpcuaLimits, ReadsAndWritesAreCutToTheServersOperationLimits) {
  for (const limits_case& c : {limits_case{"100 per call", {100, 100}, 1000, 1000},
                               limits_case{"uneven limits", {300, 70}, 1000, 1000},
                               limits_case{"no limits", {0, 0}, 1000, 1000}}) {
    SCOPED_TRACE(c.name);
    opcua_test_server server(c.limits);
    std::vector<std::int32_t> expected;
    for (std::size_t i = 0; i < c.outputs; ++i) {
      const auto v = static_cast<std::int32_t>(7 * i) - 3000;
      server.add<UA_Int32>("ns=2;i=" + std::to_string(first_output + i), UA_TYPES_INT32, v);
      expected.push_back(v);
    }
    for (std::size_t i = 0; i < c.inputs; ++i)
      server.add<UA_Int32>("ns=2;i=" + std::to_string(first_input + i), UA_TYPES_INT32, -1);
    const auto input_value = [&](std::size_t i) {
      return server.value<UA_Int32>("ns=2;i=" + std::to_string(first_input + i), UA_TYPES_INT32);
    };

    opcua_wire_tap tap(server.port());
    driver_session session;
    ASSERT_TRUE(session.connect(connection(plc::protocol::opcua, tap.port())));
    // Connecting read both limits in one call.
    EXPECT_EQ(sizes_of(tap, service::read), std::vector<std::size_t>{2});

    ASSERT_TRUE(session.bind(
        {.inputs = int32_table(first_input, c.inputs), .outputs = int32_table(first_output, c.outputs)}));
    ASSERT_TRUE(session.eventually_seen(expected, std::chrono::seconds(10)));

    // The freshly bound inputs went out once, in calls within the limit.
    const std::vector<std::size_t> writes = calls_for(c.inputs, c.limits.nodes_per_write);
    ASSERT_TRUE(eventually([&] { return sizes_of(tap, service::write).size() >= writes.size(); }));
    EXPECT_EQ(sizes_of(tap, service::write), writes);
    EXPECT_TRUE(eventually([&] { return input_value(c.inputs - 1) == 0; }));

    // Every read phase reads all outputs in calls within the limit, and
    // the driver counts those calls per cycle.
    const std::vector<std::size_t> reads = calls_for(c.outputs, c.limits.nodes_per_read);
    auto& d = session.driver<plc::opcua::driver>();
    tap.clear();
    const std::uint32_t cycles_before = d.outputs().read_count.load();
    const std::uint64_t reads_before = d.reads_sent();
    ASSERT_TRUE(eventually([&] { return d.outputs().read_count.load() >= cycles_before + 20; }));
    const std::uint32_t cycles = d.outputs().read_count.load() - cycles_before;
    const std::uint64_t calls = d.reads_sent() - reads_before;
    EXPECT_GE(calls + reads.size(), std::uint64_t{cycles} * reads.size());
    EXPECT_LE(calls, std::uint64_t{cycles + 1} * reads.size());
    const std::vector<std::size_t> tapped = sizes_of(tap, service::read);
    EXPECT_GE(tapped.size(), 10 * reads.size());
    EXPECT_TRUE(repeats(tapped, reads)) << ::testing::PrintToString(tapped);
    EXPECT_TRUE(sizes_of(tap, service::write).empty());

    // Every input changes at once: one write phase in calls within the limit.
    tap.clear();
    pair_list changes;
    for (std::size_t i = 0; i < c.inputs; ++i)
      changes.emplace_back(static_cast<std::uint32_t>(i), static_cast<std::int32_t>(5000 + i));
    ASSERT_TRUE(session.deliver(changes));
    ASSERT_TRUE(eventually([&] { return sizes_of(tap, service::write).size() >= writes.size(); }));
    EXPECT_TRUE(eventually([&] { return input_value(c.inputs - 1) == static_cast<std::int32_t>(5000 + c.inputs - 1); }));
    EXPECT_EQ(sizes_of(tap, service::write), writes);
    for (std::size_t i = 0; i < c.inputs; ++i) EXPECT_EQ(input_value(i), static_cast<std::int32_t>(5000 + i)) << i;
    EXPECT_TRUE(session.status());
  }
}

}  // namespace
}  // namespace kvt::test
