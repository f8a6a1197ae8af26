// OPC UA scan cycles against open62541's server on loopback: how long one
// cycle of the driver takes (nothing to write, every output read) for 100
// and 1,000 Int32 outputs, and how many Read requests a cycle sends, counted
// by the driver and, through a wire tap, on the wire; also against a server
// that takes at most 100 nodes per Read, which cuts each cycle into calls.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "opcua/opcua_server.hpp"
#include "opcua/opcua_wire_tap.hpp"
#include "plc/connection_params.hpp"
#include "plc/opcua/driver.hpp"
#include "plc/opcua/node_id.hpp"
#include "plc/tables.hpp"
#include "plc/value_type.hpp"

namespace {

using namespace kvt;

void wait_next_read(const plc::outputs_base& out) {
  const std::uint32_t target = out.read_count.load() + 1;
  while (out.read_count.load() < target) std::this_thread::yield();
}

void run_cycles(benchmark::State& state, bool tapped, const test::opcua_server_limits& limits = {}) {
  const auto n = static_cast<std::uint32_t>(state.range(0));
  test::opcua_test_server server(limits);
  std::vector<std::uint64_t> tags;
  std::vector<plc::opcua::handle_ptr> handles;
  for (std::uint32_t i = 0; i < n; ++i) {
    const std::string id = "ns=2;i=" + std::to_string(10000 + i);
    server.add<UA_Int32>(id, UA_TYPES_INT32, static_cast<UA_Int32>(i));
    tags.push_back(plc::make_tag(plc::value_type::s32, 0));
    handles.push_back(plc::opcua::parse_node_id(id));
  }
  std::unique_ptr<test::opcua_wire_tap> tap;
  if (tapped) tap = std::make_unique<test::opcua_wire_tap>(server.port());

  plc::opcua::driver d;
  plc::connection_params p;
  p.host = "127.0.0.1";
  p.port = tapped ? tap->port() : server.port();
  p.scan_rate = 0;  // back to back: a cycle lasts as long as its requests
  d.configure(p);
  plc::bind(d.outputs(), tags, std::move(handles), 1);
  if (!d.connect()) {
    state.SkipWithError("driver did not connect");
    return;
  }
  wait_next_read(d.outputs());

  if (tap) tap->clear();
  const std::uint32_t reads_before = d.outputs().read_count.load();
  const std::uint64_t requests_before = d.reads_sent();
  for (auto _ : state) wait_next_read(d.outputs());
  const std::uint32_t cycles = d.outputs().read_count.load() - reads_before;
  const std::uint64_t requests = d.reads_sent() - requests_before;
  d.disconnect();

  state.counters["requests_per_cycle"] = cycles == 0 ? 0 : static_cast<double>(requests) / cycles;
  if (tap)
    state.counters["wire_reads_per_cycle"] =
        cycles == 0 ? 0 : static_cast<double>(tap->count(test::ua_request::service::read)) / cycles;
}

void BM_OpcuaCycle(benchmark::State& state) { run_cycles(state, false); }
void BM_OpcuaCycleThroughTap(benchmark::State& state) { run_cycles(state, true); }
void BM_OpcuaCycle100PerRead(benchmark::State& state) {
  run_cycles(state, false, {.nodes_per_read = 100, .nodes_per_write = 100});
}
void BM_OpcuaCycle100PerReadThroughTap(benchmark::State& state) {
  run_cycles(state, true, {.nodes_per_read = 100, .nodes_per_write = 100});
}

BENCHMARK(BM_OpcuaCycle)->Arg(100)->Arg(1000)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_OpcuaCycleThroughTap)->Arg(1000)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_OpcuaCycle100PerRead)->Arg(1000)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_OpcuaCycle100PerReadThroughTap)->Arg(1000)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
