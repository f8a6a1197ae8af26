// The Modbus TCP driver against a libmodbus server on loopback: the scan
// cycle with 100 bound outputs (one request each), and the latency from a
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

mb::driver& add_driver(test::exchange_fixture& fx, std::uint16_t port, std::size_t outputs, double scan_rate) {
  auto owned = std::make_unique<mb::driver>();
  auto& d = *owned;
  plc::connection_params p;
  p.host = "127.0.0.1";
  p.port = port;
  p.unit_id = 1;
  p.scan_rate = scan_rate;
  d.configure(p);
  d.set_id(1);
  std::vector<std::uint64_t> tags;
  for (std::size_t i = 0; i < outputs; ++i)
    tags.push_back(mb::encode_tag(mb::area::holding_registers, static_cast<std::uint32_t>(i), plc::value_type::u16));
  plc::bind(d.outputs(), tags, 1);
  d.connect();
  fx.registry().insert(std::move(owned));
  return d;
}

// The read phase of one cycle, as the driver reports it to the page.
void BM_ModbusReadPhase100(benchmark::State& state) {
  test::modbus_test_server server;
  test::exchange_fixture fx;
  auto& d = add_driver(fx, server.port(), 100, 0);
  test::wait_reads(d);
  std::vector<double> samples;
  for (auto _ : state) {
    const auto before = d.outputs().read_count.load();
    while (d.outputs().read_count.load() == before) platform::cpu_relax();
    const double us = d.outputs().read_time.load();
    samples.push_back(us);
    state.SetIterationTime(us / 1e6);
  }
  std::sort(samples.begin(), samples.end());
  state.counters["read_phase_p50_us"] = samples[samples.size() / 2];
  state.counters["requests_per_cycle"] = 100;
}
BENCHMARK(BM_ModbusReadPhase100)->UseManualTime()->Unit(benchmark::kMicrosecond);

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
