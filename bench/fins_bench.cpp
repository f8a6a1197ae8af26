// FINS scan cycles against the tests' controller simulator on loopback: how
// long one cycle of the driver takes (nothing to write, every output read;
// also the read phase alone, as the driver reports it to the page)
// for 100 and 1,000 REAL outputs in consecutive DM words, with multiple
// memory area reads only or with memory area reads of the runs of words,
// and how many requests a cycle needs.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <thread>
#include <vector>

#include "fins/fins_simulator.hpp"
#include "plc/connection_params.hpp"
#include "plc/fins/driver.hpp"
#include "plc/fins/tag.hpp"
#include "plc/tables.hpp"

namespace {

using namespace kvt;

void wait_next_read(const plc::outputs_base& out) {
  const std::uint32_t target = out.read_count.load() + 1;
  while (out.read_count.load() < target) std::this_thread::yield();
}

std::size_t read_requests(const test::fins_simulator& controller) {
  return controller.requests(test::fins_simulator::multiple_read) +
         controller.requests(test::fins_simulator::memory_area_read);
}

// Arguments: REAL outputs, and 1 for memory area reads of runs (0: multiple
// memory area reads only).
void BM_FinsCycle(benchmark::State& state) {
  const auto n = static_cast<std::uint32_t>(state.range(0));
  test::fins_simulator controller;
  plc::fins::driver d;
  plc::connection_params p;
  p.host = "127.0.0.1";
  p.port = controller.port();
  p.remote_node = 10;
  p.local_node = 1;
  p.scan_rate = 0;  // back to back: a cycle lasts as long as its requests
  d.configure(p);
  d.set_word_runs(state.range(1) != 0);
  std::vector<std::uint64_t> tags;
  for (std::uint32_t i = 0; i < n; ++i)
    tags.push_back(plc::fins::encode_tag(plc::fins::area_field::dm, i * 2, plc::value_type::real));
  plc::bind(d.outputs(), tags, 1);
  if (!d.connect()) {
    state.SkipWithError("driver did not connect");
    return;
  }
  wait_next_read(d.outputs());

  std::vector<double> read_phase_us;
  for (auto _ : state) {
    wait_next_read(d.outputs());
    read_phase_us.push_back(d.outputs().read_time.load());
  }
  // Stopped, every cycle has ended with its read: the count is exact.
  d.disconnect();
  const std::uint32_t cycles = d.outputs().read_count.load();
  std::sort(read_phase_us.begin(), read_phase_us.end());
  state.counters["read_phase_p50_us"] = read_phase_us[read_phase_us.size() / 2];
  state.counters["requests_per_cycle"] =
      cycles == 0 ? 0 : static_cast<double>(read_requests(controller)) / cycles;
}
BENCHMARK(BM_FinsCycle)
    ->ArgNames({"signals", "runs"})
    ->ArgsProduct({{100, 1000}, {0, 1}})
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
