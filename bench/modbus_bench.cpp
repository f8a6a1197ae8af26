// The Modbus TCP driver against a libmodbus server on loopback: the read
// phase of one scan cycle with 100 and 1,000 outputs in consecutive holding
// registers, one request per signal or grouped, and the latency from a
// value written into the server to its arrival in an output record.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <vector>

#include "platform/clock.hpp"
#include "demo/controllers/modbus_server.hpp"
#include "plc/modbus/tcp/driver.hpp"
#include "plc/modbus/tcp/tag.hpp"
#include "support/exchange_fixture.hpp"

namespace {

namespace mb = kvt::plc::modbus::tcp;
using namespace kvt;

mb::driver& add_driver(test::exchange_fixture& fx, std::uint16_t port, std::size_t outputs, double scan_rate,
                       bool grouping = true) {
  auto owned = std::make_unique<mb::driver>();
  auto& d = *owned;
  plc::connection_params p;
  p.host = "127.0.0.1";
  p.port = port;
  p.unit_id = 1;
  p.scan_rate = scan_rate;
  d.configure(p);
  d.set_id(1);
  d.set_grouping(grouping);
  std::vector<std::uint64_t> tags;
  for (std::size_t i = 0; i < outputs; ++i)
    tags.push_back(mb::encode_tag(mb::area::holding_registers, static_cast<std::uint32_t>(i), plc::value_type::u16));
  plc::bind(d.outputs(), tags, 1);
  d.connect();
  fx.registry().insert(std::move(owned));
  return d;
}

// The read phase of one cycle, as the driver reports it to the page.
// Arguments: outputs, and 1 for grouped requests (0: one per signal).
void BM_ModbusReadPhase(benchmark::State& state) {
  const auto n = static_cast<std::size_t>(state.range(0));
  test::modbus_test_server server;
  test::exchange_fixture fx;
  auto& d = add_driver(fx, server.port(), n, 0, state.range(1) != 0);
  test::wait_reads(d);
  std::vector<double> samples;
  for (auto _ : state) {
    const auto before = d.outputs().read_count.load();
    while (d.outputs().read_count.load() == before) platform::cpu_relax();
    const double us = d.outputs().read_time.load();
    samples.push_back(us);
    state.SetIterationTime(us / 1e6);
  }
  // Stopped, every cycle has ended with its read: the count is exact.
  d.disconnect();
  std::sort(samples.begin(), samples.end());
  state.counters["read_phase_p50_us"] = samples[samples.size() / 2];
  const std::uint32_t cycles = d.outputs().read_count.load();
  state.counters["requests_per_cycle"] = cycles == 0 ? 0 : static_cast<double>(server.requests()) / cycles;
}
BENCHMARK(BM_ModbusReadPhase)
    ->ArgNames({"signals", "grouped"})
    ->ArgsProduct({{100, 1000}, {0, 1}})
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);

// From writing a register on the server to seeing it in an output record,
// the page polling back to back, scan rate 0.
void BM_ModbusValueToOutputRecord(benchmark::State& state) {
  test::modbus_test_server server;
  test::exchange_fixture fx;
  auto& d = add_driver(fx, server.port(), 1, 0);
  test::wait_reads(d);
  fx.page().request_outputs();  // the full first exchange
  std::uint16_t value = 0;
  for (auto _ : state) {
    ++value;
    const std::uint64_t t0 = platform::monotonic_ns();
    server.set_holding_register(0, value);
    for (bool seen = false; !seen;) {
      auto records = fx.page().request_outputs();
      if (!records) break;
      for (const auto& r : *records)
        for (const auto& [index, v] : r.pairs) seen = seen || (index == 0 && v == value);
    }
    state.SetIterationTime(static_cast<double>(platform::monotonic_ns() - t0) / 1e9);
  }
}
BENCHMARK(BM_ModbusValueToOutputRecord)->UseManualTime()->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
