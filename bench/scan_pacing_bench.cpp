// How evenly a driver's scan keeps its period: the in-memory controller's
// driver scans at 1 ms and 5 ms with one bound output, and each iteration
// is one period as achieved: the time between the starts of two read
// requests, taken on the scan thread itself by the controller's read hook
// (an observing thread would measure its own scheduling instead). The
// counters give the median and the 99th percentile of the period and the
// jitter (p99 minus the period asked for), in microseconds. Meaningful on
// an otherwise idle machine only.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

#include "platform/clock.hpp"
#include "plc/connection_params.hpp"
#include "plc/memory/driver.hpp"
#include "plc/tables.hpp"
#include "plc/value_type.hpp"

namespace {

using namespace kvt;

constexpr std::size_t max_periods = 1 << 20;

double percentile(std::vector<double>& v, double p) {
  if (v.empty()) return 0;
  const auto k = static_cast<std::size_t>(p * static_cast<double>(v.size() - 1));
  std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(k), v.end());
  return v[k];
}

void BM_ScanPeriod(benchmark::State& state) {
  const auto period_us = static_cast<double>(state.range(0));
  auto target = std::make_shared<plc::memory::controller>(16);
  // Read starts, written by the scan thread, published through `taken`.
  std::vector<std::uint64_t> starts(max_periods);
  std::atomic<std::size_t> taken{0};
  target->set_read_hook([&] {
    const std::size_t i = taken.load(std::memory_order_relaxed);
    if (i == max_periods) return;
    starts[i] = platform::monotonic_ns();
    taken.store(i + 1, std::memory_order_release);
  });
  plc::memory::driver d("pacing", target);
  plc::connection_params p;
  p.host = "pacing";
  p.scan_rate = period_us / 1e6;
  d.configure(p);
  const std::vector<std::uint64_t> tags{plc::make_tag(plc::value_type::s32, 0)};
  plc::bind(d.outputs(), tags, 1);
  if (!d.connect()) {
    state.SkipWithError("driver did not connect");
    return;
  }
  std::vector<double> periods;
  periods.reserve(max_periods);
  std::size_t seen = 1;
  for (auto _ : state) {
    while (taken.load(std::memory_order_acquire) <= seen && seen + 1 < max_periods)
      std::this_thread::sleep_for(std::chrono::microseconds(100));
    const double us = static_cast<double>(starts[seen] - starts[seen - 1]) / 1e3;
    periods.push_back(us);
    state.SetIterationTime(us / 1e6);
    ++seen;
  }
  d.disconnect();
  target->set_read_hook({});
  const double p50 = percentile(periods, 0.5);
  const double p99 = percentile(periods, 0.99);
  state.counters["p50_us"] = p50;
  state.counters["p99_us"] = p99;
  state.counters["jitter_p99_us"] = p99 - period_us;
}
BENCHMARK(BM_ScanPeriod)->Arg(1000)->Arg(5000)->ArgName("period_us")->UseManualTime()->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
