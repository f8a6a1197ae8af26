// Round trips of the signal exchange as the page sees them, and the cost of
// the change scan.
//
// The page is played by the benchmark thread against the real exchange
// thread; ten drivers hold 1,000 bound outputs and inputs each. Between steps
// the benchmark changes 10 % of every driver's outputs, as a completed read
// of the controller would. The loaded variant does the same beside two
// CPU-bound processes, as on a desktop whose CPUs the simulation's rendering
// keeps busy, and names how the threads got their priority.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.hpp"
#include "platform/thread_priority.hpp"
#include "plc/memory/driver.hpp"
#include "plc/signal_exchange.hpp"
#include "plc/value_type.hpp"
#include "renderer/page_contract.hpp"

namespace {

namespace sb = kvt::page::signal;
using namespace kvt;

constexpr std::size_t driver_count = 10;
constexpr std::size_t signals = 1000;
constexpr std::size_t changed_per_step = signals / 10;

std::vector<std::uint64_t> tags(std::size_t n) {
  std::vector<std::uint64_t> t;
  for (std::size_t i = 0; i < n; ++i) t.push_back(plc::make_tag(plc::value_type::s32, i));
  return t;
}

// Drivers that are bound and have read once but do not scan: the benchmark
// stores their "read" values itself, so only the exchange is measured.
void add_drivers(plc::driver_registry& registry, std::size_t count) {
  for (std::size_t k = 0; k < count; ++k) {
    auto d = std::make_unique<plc::memory::driver>("bench-" + std::to_string(k),
                                                   std::make_shared<plc::memory::controller>(signals));
    d->set_id(static_cast<std::int32_t>(k + 1));
    plc::bind(d->inputs(), tags(signals), 1);
    plc::bind(d->outputs(), tags(signals), 1);
    d->outputs().read_count.store(1);
    registry.insert(std::move(d));
  }
}

void change_outputs(plc::driver_registry& registry, std::uint32_t step) {
  auto lock = registry.lock();
  for (const auto& d : registry.drivers()) {
    auto& out = d->outputs();
    std::lock_guard table_lock(out.mutex);
    const std::size_t first = (step * 37) % signals;
    for (std::size_t i = 0; i < changed_per_step; ++i)
      out.values[(first + i * 10) % signals] = static_cast<std::int32_t>(step * 1000 + i);
  }
}

std::uint64_t handshake(std::uint32_t* words, std::uint32_t request, std::uint32_t answer) {
  std::atomic_ref<std::uint32_t> state(words[sb::state_word]);
  const std::uint64_t t0 = platform::monotonic_ns();
  state.store(request, std::memory_order_release);
  while (state.load(std::memory_order_acquire) != answer) platform::cpu_relax();
  return platform::monotonic_ns() - t0;
}

double percentile(std::vector<std::uint64_t>& samples, double p) {
  if (samples.empty()) return 0;
  const auto k = static_cast<std::size_t>(p * static_cast<double>(samples.size() - 1));
  std::nth_element(samples.begin(), samples.begin() + static_cast<std::ptrdiff_t>(k), samples.end());
  return static_cast<double>(samples[k]) / 1000.0;
}

// Processes that only burn CPU, at the niceness of the thread that starts
// them, until the object goes away.
class busy_processes {
 public:
  explicit busy_processes(int count) {
    for (int i = 0; i < count; ++i) {
      const pid_t pid = fork();
      if (pid == 0) {
        // Ends with the benchmark, however that ends.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        volatile std::uint64_t spin = 0;
        for (;;) spin = spin + 1;
      }
      if (pid > 0) pids_.push_back(pid);
    }
  }
  ~busy_processes() {
    for (const pid_t pid : pids_) kill(pid, SIGKILL);
    for (const pid_t pid : pids_) waitpid(pid, nullptr, 0);
  }
  busy_processes(const busy_processes&) = delete;
  busy_processes& operator=(const busy_processes&) = delete;
  std::size_t size() const { return pids_.size(); }

 private:
  std::vector<pid_t> pids_;
};

struct page_step_result {
  std::vector<std::uint64_t> outputs_rt;
  std::vector<std::uint64_t> inputs_rt;
  platform::priority_path exchange_path = platform::priority_path::none;
};

page_step_result run_page_steps(benchmark::State& state) {
  page_step_result result;
  plc::driver_registry registry;
  add_drivers(registry, driver_count);
  std::vector<std::uint32_t> buffer(sb::buffer_words, 0);
  std::uint32_t* words = buffer.data();
  std::atomic<bool> shutdown{false};
  std::thread exchange([&] {
    plc::run_signal_exchange(words, sb::buffer_bytes, registry, shutdown);
    result.exchange_path = platform::current_thread_priority_path();
  });

  // Input records: 100 changed inputs per driver and step.
  std::vector<std::uint32_t> inputs;
  for (std::size_t k = 0; k < driver_count; ++k) {
    inputs.insert(inputs.end(), {static_cast<std::uint32_t>(k + 1), 1u, static_cast<std::uint32_t>(changed_per_step)});
    for (std::size_t i = 0; i < changed_per_step; ++i) inputs.insert(inputs.end(), {static_cast<std::uint32_t>(i * 10), 7u});
  }

  handshake(words, sb::state::outputs_requested, sb::state::outputs_ready);  // the full first exchange
  auto& outputs_rt = result.outputs_rt;
  auto& inputs_rt = result.inputs_rt;
  outputs_rt.reserve(state.max_iterations);
  inputs_rt.reserve(state.max_iterations);
  std::uint32_t step = 0;
  for (auto _ : state) {
    change_outputs(registry, ++step);
    const std::uint64_t out_ns = handshake(words, sb::state::outputs_requested, sb::state::outputs_ready);
    benchmark::DoNotOptimize(words[sb::record_count_word]);
    std::copy(inputs.begin(), inputs.end(), words + sb::first_record_word);
    words[sb::record_count_word] = driver_count;
    const std::uint64_t in_ns = handshake(words, sb::state::inputs_delivered, sb::state::inputs_applied);
    outputs_rt.push_back(out_ns);
    inputs_rt.push_back(in_ns);
    state.SetIterationTime(static_cast<double>(out_ns + in_ns) / 1e9);
  }
  shutdown.store(true);
  exchange.join();
  return result;
}

void report_round_trips(benchmark::State& state, page_step_result& r) {
  state.counters["outputs_p50_us"] = percentile(r.outputs_rt, 0.50);
  state.counters["outputs_p99_us"] = percentile(r.outputs_rt, 0.99);
  state.counters["inputs_p50_us"] = percentile(r.inputs_rt, 0.50);
  state.counters["inputs_p99_us"] = percentile(r.inputs_rt, 0.99);
}

void BM_PageStep(benchmark::State& state) {
  page_step_result r = run_page_steps(state);
  report_round_trips(state, r);
}
BENCHMARK(BM_PageStep)->UseManualTime()->Unit(benchmark::kMicrosecond);

// The page step beside two CPU-bound processes. The benchmark thread plays
// the page's script thread and takes the process class, as a web process
// does; the busy processes start before that, at normal priority. The label
// names each thread's path to its priority (direct, broker or none); the
// counters *_path give the same as 0 none, 1 direct, 2 broker.
void BM_LoadedPageStep(benchmark::State& state) {
  const busy_processes load(2);
  const platform::priority_path page_path = platform::raise_process_priority();
  page_step_result r = run_page_steps(state);
  report_round_trips(state, r);
  state.counters["busy_processes"] = static_cast<double>(load.size());
  state.counters["exchange_path"] = static_cast<double>(r.exchange_path);
  state.counters["page_path"] = static_cast<double>(page_path);
  state.SetLabel(std::string("exchange=") + platform::to_string(r.exchange_path) +
                 " page=" + platform::to_string(page_path));
}
BENCHMARK(BM_LoadedPageStep)->UseManualTime()->Unit(benchmark::kMicrosecond)->Iterations(2000);

// One change scan over 1,000 outputs with `range(0)` of them changed.
void BM_ChangeScan(benchmark::State& state) {
  plc::driver_registry registry;
  add_drivers(registry, 1);
  std::vector<std::uint32_t> buffer(sb::buffer_words, 0);
  auto& out = registry.drivers().front()->outputs();
  const auto changed = static_cast<std::size_t>(state.range(0));
  auto lock = registry.lock();
  plc::write_output_records(buffer.data(), buffer.size(), registry);  // the full first exchange
  std::int32_t tick = 0;
  for (auto _ : state) {
    {
      std::lock_guard table_lock(out.mutex);
      ++tick;
      for (std::size_t i = 0; i < changed; ++i) out.values[i * (signals / std::max<std::size_t>(changed, 1))] = tick;
    }
    benchmark::DoNotOptimize(plc::write_output_records(buffer.data(), buffer.size(), registry));
  }
}
BENCHMARK(BM_ChangeScan)->Arg(0)->Arg(100)->Arg(1000)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
