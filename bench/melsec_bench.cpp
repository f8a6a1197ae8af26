// MELSEC scan cycles against the tests' controller simulator on loopback:
// how long one cycle of the driver takes (nothing to write, every output
// read) for 100 and 1,000 word outputs, and how many requests a cycle needs
// (a random read carries at most 192 words).
#include <benchmark/benchmark.h>

#include <cstdint>
#include <thread>
#include <vector>

#include "melsec/melsec_simulator.hpp"
#include "plc/connection_params.hpp"
#include "plc/melsec/driver.hpp"
#include "plc/tables.hpp"
#include "plc/value_type.hpp"

namespace {

using namespace kvt;

constexpr std::uint64_t device_d = 23;

void wait_next_read(const plc::outputs_base& out) {
  const std::uint32_t target = out.read_count.load() + 1;
  while (out.read_count.load() < target) std::this_thread::yield();
}

// `stride` 1: consecutive D words; 2: every other word, so that no two
// outputs form a run.
void BM_MelsecCycle(benchmark::State& state) {
  const auto n = static_cast<std::uint32_t>(state.range(0));
  const auto stride = static_cast<std::uint32_t>(state.range(1));
  test::melsec_simulator controller;
  plc::melsec::driver d;
  plc::connection_params p;
  p.host = "127.0.0.1:" + std::to_string(controller.port());
  p.unit_id = 1;
  p.scan_rate = 0;  // back to back: a cycle lasts as long as its requests
  d.configure(p);
  std::vector<std::uint64_t> tags;
  for (std::uint32_t i = 0; i < n; ++i)
    tags.push_back(plc::make_tag(plc::value_type::u16, device_d << 31 | std::uint64_t{i * stride} << 4));
  plc::bind(d.outputs(), tags, 1);
  if (!d.connect()) {
    state.SkipWithError("driver did not connect");
    return;
  }
  wait_next_read(d.outputs());

  const std::uint32_t reads_before = d.outputs().read_count.load();
  const std::size_t requests_before = controller.requests();
  // Iteration i ends with the i-th cycle after the start, not with the next
  // cycle after whenever this thread got to look: a look delayed by the
  // scheduler is made up for by the iterations after it.
  std::uint32_t target = reads_before;
  for (auto _ : state) {
    ++target;
    while (d.outputs().read_count.load() < target) std::this_thread::yield();
  }
  d.disconnect();
  const std::uint32_t cycles = d.outputs().read_count.load() - reads_before;
  const std::size_t requests = controller.requests() - requests_before;

  state.counters["requests_per_cycle"] = cycles == 0 ? 0 : static_cast<double>(requests) / cycles;
}
BENCHMARK(BM_MelsecCycle)
    ->Args({100, 1})
    ->Args({1000, 1})
    ->Args({100, 2})
    ->Args({1000, 2})
    ->ArgNames({"words", "stride"})
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
