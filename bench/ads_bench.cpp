// ADS scan cycles against the tests' TwinCAT runtime simulator on loopback,
// through our libTcAdsDll.so: how long one cycle of the driver takes for 100
// and 1,000 REAL outputs (nothing to write, every output read with sum
// reads, cycles back to back), and for 1,000 REAL inputs that all changed
// (written with sum writes, nothing to read; the driver's own measure of
// the write phase), and how many ADS requests a cycle needs.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ads/ads_simulator.hpp"
#include "plc/ads/areas.hpp"
#include "plc/ads/driver.hpp"
#include "plc/connection_params.hpp"
#include "plc/tables.hpp"
#include "plc/value_type.hpp"
#include "platform/thread_priority.hpp"

namespace {

using namespace kvt;
using test::ads_simulator;

constexpr std::uint16_t ads_commands[] = {1, 2, 3, 4, 5, 6, 7, 9};
constexpr auto wait_limit = std::chrono::seconds(10);
// Waits poll by sleeping: a thread that sleeps gets the processor back soon
// after it wakes, one that yields only after everything else that runs.
constexpr auto poll_interval = std::chrono::microseconds(20);

// Every ADS request the simulator has answered, whatever the command.
std::size_t all_requests(const ads_simulator& controller) {
  std::size_t n = 0;
  for (const std::uint16_t c : ads_commands) n += controller.requests(c);
  return n;
}

// The largest item count of the sum requests from position `from` on.
std::uint32_t largest_sum_since(const ads_simulator& controller, std::size_t from) {
  const auto counts = controller.sum_item_counts();
  std::uint32_t largest = 0;
  for (std::size_t i = from; i < counts.size(); ++i) largest = std::max(largest, counts[i]);
  return largest;
}

// Waits for the read count to pass `count`; false after the wait limit.
bool wait_read_after(const plc::outputs_base& out, std::uint32_t count) {
  const auto deadline = std::chrono::steady_clock::now() + wait_limit;
  while (out.read_count.load() <= count) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(poll_interval);
  }
  return true;
}

// `n` REAL symbols in the PLC data area, named `prefix` and a four-digit
// number from 0000, and the driver's tag descriptor of each.
std::vector<std::uint64_t> add_reals(ads_simulator& controller, int n, const char* prefix) {
  std::vector<std::uint64_t> tags;
  for (int i = 0; i < n; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "%s%04d", prefix, i);
    controller.add_symbol(name, "REAL");
    const auto s = controller.symbol(name);
    tags.push_back(plc::ads::make_ads_tag(plc::value_type::real, plc::ads::area_of_group(s.group, true), s.offset));
  }
  return tags;
}

// This thread stands in for the exchange thread and runs at its priority,
// and so do the simulator's and the library's threads it starts: the
// machine is shared, and a benchmark thread at normal priority could wait
// for the CPU, behind the builds, longer than a cycle lasts. The scan
// thread raises itself further, as it does in the program.
void raise_priority() { platform::set_current_thread_priority(platform::thread_priority::highest); }

// Points the library at the simulator (and at no route file, so that the
// Net ID below cannot be routed off the machine) and configures the driver
// with a scan period of `scan_rate` seconds (0: cycles back to back, each
// as long as its requests).
void configure(plc::ads::driver& d, const ads_simulator& controller, double scan_rate) {
  ::setenv("KVT_ADS_TCP_PORT", std::to_string(controller.port()).c_str(), 1);
  const auto no_routes = std::filesystem::temp_directory_path() / "kvt-ads-bench-no-routes";
  ::setenv("KVT_ADS_ROUTES", no_routes.c_str(), 1);
  plc::connection_params p;
  p.protocol = plc::protocol::ads;
  p.host = "127.0.0.1.1.1";
  p.port = plc::ads::default_ams_port;
  p.data_area = true;
  p.scan_rate = scan_rate;
  d.configure(p);
}

void BM_AdsReadCycle(benchmark::State& state) {
  raise_priority();
  const auto n = static_cast<int>(state.range(0));
  ads_simulator controller;
  const auto tags = add_reals(controller, n, "BENCH.out");
  controller.set_real("BENCH.out0000", 1.5);
  char last[32];
  std::snprintf(last, sizeof last, "BENCH.out%04d", n - 1);
  controller.set_real(last, -2.25);

  plc::ads::driver d;
  configure(d, controller, 0);
  plc::bind(d.outputs(), tags, 1);
  if (!d.connect()) {
    state.SkipWithError("driver did not connect");
    return;
  }
  auto& out = d.outputs();
  if (!wait_read_after(out, 0)) {
    state.SkipWithError("no read completed");
    return;
  }
  {
    std::lock_guard lock(out.mutex);
    if (out.values.front() != plc::float_to_slot(1.5f) || out.values.back() != plc::float_to_slot(-2.25f)) {
      state.SkipWithError("the outputs do not hold the controller's values");
      return;
    }
  }

  const std::uint32_t reads_before = out.read_count.load();
  const std::size_t sums_before = controller.group_requests(plc::ads::group::sum_read);
  const std::size_t requests_before = all_requests(controller);
  const std::size_t items_from = controller.sum_item_counts().size();
  // Iteration i ends with the i-th cycle after the start, not with the next
  // cycle after whenever this thread got to look: a look delayed by the
  // scheduler is made up for by the iterations after it.
  std::uint32_t target = reads_before;
  for (auto _ : state) {
    if (!wait_read_after(out, target++)) {
      state.SkipWithError("the scan stopped");
      break;
    }
  }
  d.disconnect();
  const std::uint32_t cycles = out.read_count.load() - reads_before;
  const double c = cycles == 0 ? 1 : static_cast<double>(cycles);
  state.counters["requests_per_cycle"] = static_cast<double>(all_requests(controller) - requests_before) / c;
  state.counters["sum_reads_per_cycle"] =
      static_cast<double>(controller.group_requests(plc::ads::group::sum_read) - sums_before) / c;
  state.counters["largest_sum"] = largest_sum_since(controller, items_from);
}
BENCHMARK(BM_AdsReadCycle)->Arg(100)->Arg(1000)->UseRealTime()->Unit(benchmark::kMicrosecond);

// Every input changed in every cycle, and nothing to read: the driver's
// own measure of each cycle's write phase, which is the whole of the
// cycle's work (the read phase has nothing to do). The scan runs every
// 5 ms, so that this thread, which changes the inputs between cycles, is
// never late for one: back to back, the scan would spin through empty
// cycles at a higher priority than this thread, taking the inputs' lock
// each time, and on a busy machine this thread could wait for that lock
// longer than a cycle lasts.
void BM_AdsWriteCycle(benchmark::State& state) {
  raise_priority();
  const auto n = static_cast<int>(state.range(0));
  ads_simulator controller;
  const auto tags = add_reals(controller, n, "BENCH.in");
  char last[32];
  std::snprintf(last, sizeof last, "BENCH.in%04d", n - 1);

  plc::ads::driver d;
  configure(d, controller, 0.005);
  auto& in = d.inputs();
  auto& out = d.outputs();
  plc::bind(in, tags, 1);  // every input dirty: the first cycle writes zeros

  // Sets every input to `value` and waits until a cycle has taken them.
  const auto change_all = [&](float value) {
    {
      std::lock_guard lock(in.mutex);
      std::fill(in.values.begin(), in.values.end(), plc::float_to_slot(value));
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
  // Waits until the cycle that took them has ended.
  const auto wait_written = [&] { return wait_read_after(out, out.read_count.load()); };

  if (!d.connect()) {
    state.SkipWithError("driver did not connect");
    return;
  }
  // The first cycle writes the bindings' zeros; then 0.5 everywhere.
  if (!change_all(0.5f) || !wait_written() || controller.get_real(last) != 0.5) {
    state.SkipWithError("the inputs did not reach the controller");
    return;
  }

  const std::uint32_t cycles_before = out.read_count.load();
  const std::size_t sums_before = controller.group_requests(plc::ads::group::sum_write);
  const std::size_t requests_before = all_requests(controller);
  const std::size_t items_from = controller.sum_item_counts().size();
  float value = 0.5f;
  std::int64_t batches = 0;
  for (auto _ : state) {
    value += 1.0f;
    if (!change_all(value)) {
      state.SkipWithError("the scan stopped");
      break;
    }
    ++batches;
    // The cycle that took them is writing them now; the last write phase
    // measured wrote the values before, which took a cycle of their own.
    state.SetIterationTime(static_cast<double>(in.write_time.load()) * 1e-6);
  }
  const bool written = wait_written();
  const std::uint32_t cycles = out.read_count.load() - cycles_before;
  d.disconnect();
  if (!written || controller.get_real(last) != static_cast<double>(value)) {
    state.SkipWithError("the last values did not reach the controller");
    return;
  }
  const auto b = static_cast<double>(batches);
  state.counters["requests_per_cycle"] = static_cast<double>(all_requests(controller) - requests_before) / b;
  state.counters["sum_writes_per_cycle"] =
      static_cast<double>(controller.group_requests(plc::ads::group::sum_write) - sums_before) / b;
  // 1 when every cycle wrote (else the times may include empty cycles).
  state.counters["cycles_per_write"] = static_cast<double>(cycles) / b;
  state.counters["largest_sum"] = largest_sum_since(controller, items_from);
}
BENCHMARK(BM_AdsWriteCycle)->Arg(1000)->UseManualTime()->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
