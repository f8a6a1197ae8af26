// OPC UA scan cycles on loopback: how long one cycle of the driver takes
// (nothing to write, every output read) for 100 and 1,000 Int32 outputs, and
// how many Read requests a cycle sends, counted by the driver and, through a
// wire tap, on the wire; also against a server that takes at most 100 nodes
// per Read, which cuts each cycle into calls. The server is open62541's, run
// in this process, and for 1,000 nodes also node-opcua's (the tests'
// independent_server/server.js, run by Node.js), a server written by others
// whose own client (independent_server/client_bench.js, run by this process
// in the same run) times the same Read and Write. Write cycles: 1,000 Int32
// inputs that all changed, the driver's own measure of its write phase.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
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
#include "support/child_process.hpp"
#include "support/eventually.hpp"
#include "support/node_tools.hpp"
#include "support/ws_client.hpp"

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

// node-opcua's server with `n` Int32 variables ns=1;i=10000+k holding k,
// run by Node.js on a free loopback port until the object goes away.
class node_opcua_server {
 public:
  explicit node_opcua_server(std::uint32_t n) {
    const std::filesystem::path dir = KVT_OPCUA_SERVER_DIR;
    const std::string node = test::node_path();
    if (node.empty()) {
      error_ = "node is not installed (scripts/setup.sh installs it)";
      return;
    }
    if (!std::filesystem::exists(dir / "node_modules" / "node-opcua")) {
      error_ = "node-opcua is not installed: npm ci --prefix " + dir.string();
      return;
    }
    port_ = test::free_port();
    process_ = std::make_unique<test::child_process>(
        std::vector<std::string>{node, (dir / "server.js").string(), "--int32", std::to_string(n), std::to_string(port_)},
        std::vector<std::string>{}, true);
    const std::string ready = "ready " + std::to_string(port_) + "\n";
    const bool started = test::eventually(
        [&] { return process_->stdout_text().find(ready) != std::string::npos || process_->wait({}).has_value(); },
        std::chrono::seconds(120));
    if (!started || process_->stdout_text().find(ready) == std::string::npos)
      error_ = "the node-opcua server did not start: " + process_->stderr_text();
  }

  // Why the server is not serving; empty when it is.
  const std::string& error() const noexcept { return error_; }
  std::uint16_t port() const noexcept { return port_; }
  static std::string node_id(std::uint32_t k) { return "ns=1;i=" + std::to_string(first_id + k); }

 private:
  static constexpr std::uint32_t first_id = 10000;
  std::uint16_t port_ = 0;
  std::unique_ptr<test::child_process> process_;
  std::string error_;
};

constexpr auto wait_limit = std::chrono::seconds(10);
// Waits poll by sleeping a millisecond, not by yielding or by short
// sleeps: on a machine with two cores, a thread that yields in a loop takes
// a core away from the server, which runs in a process of its own here, and
// even 20 µs sleeps cost this thread about a fifth of a core in wake-ups.
// The figures do not depend on when this thread looks: the cycles run back
// to back (or paced by the scan), and the percentiles come from the
// driver's own measure of each phase.
constexpr auto poll_interval = std::chrono::milliseconds(1);

// Waits for the read count to pass `count`; false after the wait limit.
bool wait_read_after(const plc::outputs_base& out, std::uint32_t count) {
  const auto deadline = std::chrono::steady_clock::now() + wait_limit;
  while (out.read_count.load() <= count) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(poll_interval);
  }
  return true;
}

// The median, 10th and 90th percentile of the cycles' times, as counters in
// milliseconds: on a shared machine a few cycles that waited for the
// processor move the mean far more than the median, and the node-opcua
// client's script reports the same three figures.
void add_percentiles(benchmark::State& state, std::vector<double> us) {
  if (us.empty()) return;
  std::sort(us.begin(), us.end());
  const auto at = [&](std::size_t percent) { return us[std::min(us.size() - 1, us.size() * percent / 100)] / 1000; };
  state.counters["median_ms"] = at(50);
  state.counters["p10_ms"] = at(10);
  state.counters["p90_ms"] = at(90);
}

void configure(plc::opcua::driver& d, std::uint16_t port, double scan_rate) {
  plc::connection_params p;
  p.host = "127.0.0.1";
  p.port = port;
  p.scan_rate = scan_rate;
  d.configure(p);
}

std::vector<std::uint64_t> int32_tags(std::uint32_t n) {
  return std::vector<std::uint64_t>(n, plc::make_tag(plc::value_type::s32, 0));
}

std::vector<plc::opcua::handle_ptr> handles_of(const std::vector<std::string>& ids) {
  std::vector<plc::opcua::handle_ptr> handles;
  for (const std::string& id : ids) handles.push_back(plc::opcua::parse_node_id(id));
  return handles;
}

// Whether output k holds `first + k` for every k.
bool outputs_count_from(plc::outputs_base& out, std::int32_t first) {
  std::lock_guard lock(out.mutex);
  for (std::size_t k = 0; k < out.values.size(); ++k)
    if (out.values[k] != first + static_cast<std::int32_t>(k)) return false;
  return true;
}

void BM_OpcuaNodeServerCycle(benchmark::State& state) {
  const auto n = static_cast<std::uint32_t>(state.range(0));
  node_opcua_server server(n);
  if (!server.error().empty()) {
    state.SkipWithError(server.error().c_str());
    return;
  }
  std::vector<std::string> ids;
  for (std::uint32_t k = 0; k < n; ++k) ids.push_back(node_opcua_server::node_id(k));

  plc::opcua::driver d;
  configure(d, server.port(), 0);  // back to back
  auto& out = d.outputs();
  plc::bind(out, int32_tags(n), handles_of(ids), 1);
  if (!d.connect()) {
    state.SkipWithError("driver did not connect");
    return;
  }
  if (!wait_read_after(out, 0) || !outputs_count_from(out, 0)) {
    state.SkipWithError("the outputs do not hold the server's values");
    d.disconnect();
    return;
  }

  const std::uint32_t reads_before = out.read_count.load();
  const std::uint64_t requests_before = d.reads_sent();
  // Iteration i ends with the i-th cycle after the start, whenever this
  // thread gets to look.
  std::uint32_t target = reads_before;
  std::vector<double> read_us;  // the driver's own measure of each read phase
  for (auto _ : state) {
    if (!wait_read_after(out, target++)) {
      state.SkipWithError("the scan stopped");
      break;
    }
    read_us.push_back(out.read_time.load());
  }
  const std::uint32_t cycles = out.read_count.load() - reads_before;
  const std::uint64_t requests = d.reads_sent() - requests_before;
  d.disconnect();
  state.counters["requests_per_cycle"] = cycles == 0 ? 0 : static_cast<double>(requests) / cycles;
  add_percentiles(state, std::move(read_us));
}

// Every input changed in every cycle: the driver's own measure of each
// cycle's write phase. The scan runs every 5 ms, so that this thread, which
// changes the inputs between cycles, does not have to fight a scan that
// spins through empty cycles for the inputs' lock. At the end the same
// nodes are bound as outputs, and the values read back must be the last
// ones written.
void write_cycles(benchmark::State& state, std::uint16_t port, const std::vector<std::string>& ids) {
  const auto n = static_cast<std::uint32_t>(ids.size());
  plc::opcua::driver d;
  configure(d, port, 0.005);
  auto& in = d.inputs();
  auto& out = d.outputs();
  plc::bind(in, int32_tags(n), handles_of(ids), 1);  // every input dirty: the first cycle writes zeros

  // Sets input k to `first + k` and waits until a cycle has taken them.
  const auto change_all = [&](std::int32_t first) {
    {
      std::lock_guard lock(in.mutex);
      for (std::size_t k = 0; k < in.values.size(); ++k) in.values[k] = first + static_cast<std::int32_t>(k);
      std::fill(in.dirty.begin(), in.dirty.end(), true);
    }
    const auto deadline = std::chrono::steady_clock::now() + wait_limit;
    for (;;) {
      {
        std::lock_guard lock(in.mutex);
        if (!in.dirty.back()) return true;
      }
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(poll_interval);
    }
  };

  if (!d.connect()) {
    state.SkipWithError("driver did not connect");
    return;
  }
  if (!change_all(1) || !wait_read_after(out, out.read_count.load())) {
    state.SkipWithError("the scan stopped");
    d.disconnect();
    return;
  }

  const std::uint64_t requests_before = d.writes_sent();
  std::int32_t first = 1;
  std::int64_t batches = 0;
  std::vector<double> write_us;
  for (auto _ : state) {
    first += static_cast<std::int32_t>(n);
    if (!change_all(first)) {
      state.SkipWithError("the scan stopped");
      break;
    }
    ++batches;
    // The cycle that took them is writing them now; the last write phase
    // measured wrote the values before.
    write_us.push_back(in.write_time.load());
    state.SetIterationTime(write_us.back() * 1e-6);
  }
  const std::uint64_t requests = d.writes_sent() - requests_before;

  // Wait for the cycle that writes the last values, then read them back.
  wait_read_after(out, out.read_count.load());
  plc::bind(out, int32_tags(n), handles_of(ids), 2);
  const bool same = wait_read_after(out, 0) && outputs_count_from(out, first);
  d.disconnect();
  if (!same) {
    state.SkipWithError("the values read back are not the last ones written");
    return;
  }
  state.counters["requests_per_cycle"] = batches == 0 ? 0 : static_cast<double>(requests) / static_cast<double>(batches);
  add_percentiles(state, std::move(write_us));
}

void BM_OpcuaWriteCycle(benchmark::State& state) {
  const auto n = static_cast<std::uint32_t>(state.range(0));
  test::opcua_test_server server;
  std::vector<std::string> ids;
  for (std::uint32_t k = 0; k < n; ++k) {
    ids.push_back("ns=2;i=" + std::to_string(10000 + k));
    server.add<UA_Int32>(ids.back(), UA_TYPES_INT32, 0);
  }
  write_cycles(state, server.port(), ids);
}

void BM_OpcuaNodeServerWriteCycle(benchmark::State& state) {
  const auto n = static_cast<std::uint32_t>(state.range(0));
  node_opcua_server server(n);
  if (!server.error().empty()) {
    state.SkipWithError(server.error().c_str());
    return;
  }
  std::vector<std::string> ids;
  for (std::uint32_t k = 0; k < n; ++k) ids.push_back(node_opcua_server::node_id(k));
  write_cycles(state, server.port(), ids);
}

// node-opcua's own client against the same server, run by this process so
// that its figures come from the same run: client_bench.js times its Read
// and Write of the same nodes; its medians and percentiles become counters
// (the iteration time is its median Read).
void BM_OpcuaNodeClient(benchmark::State& state) {
  const auto n = static_cast<std::uint32_t>(state.range(0));
  node_opcua_server server(n);
  if (!server.error().empty()) {
    state.SkipWithError(server.error().c_str());
    return;
  }
  const std::filesystem::path dir = KVT_OPCUA_SERVER_DIR;
  const std::string url = "opc.tcp://127.0.0.1:" + std::to_string(server.port());
  for (auto _ : state) {
    test::child_process client({test::node_path(), (dir / "client_bench.js").string(), url, std::to_string(n), "200"},
                               {}, true);
    if (client.wait(std::chrono::minutes(5)) != 0) {
      state.SkipWithError(("the node-opcua client failed: " + client.stderr_text()).c_str());
      return;
    }
    const std::string text = client.stdout_text();
    // "read N nodes: median M ms, p10 A ms, p90 B ms, mean C ms (...)"
    const auto figure = [&](const std::string& service, const std::string& name) -> std::optional<double> {
      const std::size_t line = text.find(service + " ");
      if (line == std::string::npos) return std::nullopt;
      const std::size_t at = text.find(name + " ", line);
      if (at == std::string::npos) return std::nullopt;
      return std::stod(text.substr(at + name.size() + 1));
    };
    for (const char* service : {"read", "write"})
      for (const char* name : {"median", "p10", "p90"}) {
        const std::optional<double> v = figure(service, name);
        if (!v) {
          state.SkipWithError(("unexpected output of the node-opcua client: " + text).c_str());
          return;
        }
        state.counters[std::string(service) + "_" + name + "_ms"] = *v;
      }
    state.SetIterationTime(*figure("read", "median") / 1000);
  }
}

BENCHMARK(BM_OpcuaWriteCycle)->Arg(1000)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_OpcuaNodeServerCycle)->Arg(1000)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_OpcuaNodeServerWriteCycle)->Arg(1000)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_OpcuaNodeClient)->Arg(1000)->Iterations(1)->UseManualTime()->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
