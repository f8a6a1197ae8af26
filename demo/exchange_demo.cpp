// A terminal demo of the signal exchange: two simulated controllers (a
// conveyor and a tank) behind in-memory drivers, the exchange thread, and a
// page thread that steps a tiny simulation at 50 Hz through the signal
// buffer. Every half second it prints what the page sees and what the
// controllers received.
//
//   kvt_exchange_demo [--seconds=N]
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/clock.hpp"
#include "plc/memory/driver.hpp"
#include "plc/signal_exchange.hpp"
#include "plc/value_type.hpp"
#include "renderer/page_contract.hpp"

namespace {

using namespace kvt;
namespace sb = kvt::page::signal;

// Register map of each simulated controller.
constexpr std::uint64_t reg_motor_speed = 0;  // output: controller sets the speed (REAL)
constexpr std::uint64_t reg_valve = 1;        // output: controller opens the valve (BOOL)
constexpr std::uint64_t reg_position = 10;    // input: simulated position (REAL)
constexpr std::uint64_t reg_level = 11;       // input: simulated tank level (DINT, ‰)

struct step_stats {
  std::uint64_t steps = 0;
  std::uint64_t worst_ns = 0;
  std::uint64_t total_ns = 0;
};

std::uint64_t handshake(std::uint32_t* words, std::uint32_t request, std::uint32_t answer) {
  std::atomic_ref<std::uint32_t> state(words[sb::state_word]);
  const std::uint64_t t0 = platform::monotonic_ns();
  state.store(request, std::memory_order_release);
  while (state.load(std::memory_order_acquire) != answer) platform::cpu_relax();
  return platform::monotonic_ns() - t0;
}

int parse_seconds(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg.starts_with("--seconds=")) return std::atoi(arg.data() + 10);
  }
  return 10;
}

}  // namespace

int main(int argc, char** argv) {
  const int seconds = parse_seconds(argc, argv);
  std::printf("Kestrel Connect exchange demo: two simulated controllers, one page, %d s\n", seconds);

  plc::driver_registry registry;
  std::vector<std::shared_ptr<plc::memory::controller>> controllers;
  for (std::int32_t id = 1; id <= 2; ++id) {
    auto target = std::make_shared<plc::memory::controller>(16);
    auto d = std::make_unique<plc::memory::driver>(id == 1 ? "conveyor" : "tank", target);
    d->set_id(id);
    plc::connection_params params;
    params.scan_rate = 0.01;
    d->configure(params);
    plc::bind(d->outputs(), std::vector{plc::make_tag(plc::value_type::real, reg_motor_speed),
                                        plc::make_tag(plc::value_type::boolean, reg_valve)}, 1);
    plc::bind(d->inputs(), std::vector{plc::make_tag(plc::value_type::real, reg_position),
                                       plc::make_tag(plc::value_type::s32, reg_level)}, 1);
    if (!d->connect()) return 1;
    registry.insert(std::move(d));
    controllers.push_back(target);
  }

  std::vector<std::uint32_t> buffer(sb::buffer_words, 0);
  std::uint32_t* words = buffer.data();
  std::atomic<bool> shutdown{false};
  std::thread exchange([&] { plc::run_signal_exchange(words, sb::buffer_bytes, registry, shutdown); });

  // The controllers' programs: speed follows a slow sine, the valve toggles.
  std::atomic<bool> stop_machine{false};
  std::thread machine([&] {
    const std::uint64_t start = platform::monotonic_ns();
    while (!stop_machine.load()) {
      const double t = static_cast<double>(platform::monotonic_ns() - start) / 1e9;
      for (std::size_t k = 0; k < controllers.size(); ++k) {
        controllers[k]->set(reg_motor_speed, plc::float_to_slot(static_cast<float>(1.0 + std::sin(t + static_cast<double>(k)))));
        controllers[k]->set(reg_valve, static_cast<std::int32_t>(static_cast<int>(t + static_cast<double>(k)) % 2));
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  });

  // The page: 50 steps a second, integrating position and level.
  float speed[3] = {}, position[3] = {};
  std::int32_t valve[3] = {}, level[3] = {500, 500, 500};
  step_stats out_stats, in_stats;
  const std::uint64_t start = platform::monotonic_ns();
  std::uint64_t next_print = start;
  for (std::uint64_t step = 0;; ++step) {
    const std::uint64_t now = platform::monotonic_ns();
    if (now - start > static_cast<std::uint64_t>(seconds) * 1'000'000'000u) break;

    const std::uint64_t out_ns = handshake(words, sb::state::outputs_requested, sb::state::outputs_ready);
    out_stats.steps++, out_stats.total_ns += out_ns, out_stats.worst_ns = std::max(out_stats.worst_ns, out_ns);
    std::size_t pos = sb::first_record_word;
    for (std::uint32_t r = 0; r < words[sb::record_count_word]; ++r) {
      const auto id = static_cast<std::size_t>(words[pos]);
      const std::uint32_t n = words[pos + sb::output_record::pair_count];
      for (std::uint32_t k = 0; k < n; ++k) {
        const std::uint32_t index = words[pos + sb::output_record::header_words + 2 * k];
        const auto value = static_cast<std::int32_t>(words[pos + sb::output_record::header_words + 2 * k + 1]);
        if (id < 3 && index == 0) speed[id] = plc::slot_to_float(value);
        if (id < 3 && index == 1) valve[id] = value & 1;
      }
      pos += sb::output_record::header_words + 2 * n;
    }

    std::size_t w = sb::first_record_word;
    for (std::uint32_t id = 1; id <= 2; ++id) {
      position[id] += speed[id] * 0.02f;
      level[id] = std::clamp(level[id] + (valve[id] ? 7 : -5), 0, 1000);
      const std::uint32_t rec[] = {id, 1, 2, 0, static_cast<std::uint32_t>(plc::float_to_slot(position[id])), 1,
                                   static_cast<std::uint32_t>(level[id])};
      std::memcpy(&words[w], rec, sizeof rec);
      w += std::size(rec);
    }
    words[sb::record_count_word] = 2;
    const std::uint64_t in_ns = handshake(words, sb::state::inputs_delivered, sb::state::inputs_applied);
    in_stats.steps++, in_stats.total_ns += in_ns, in_stats.worst_ns = std::max(in_stats.worst_ns, in_ns);

    if (now >= next_print) {
      next_print = now + 500'000'000u;
      std::printf("t=%5.1fs  conveyor: speed %5.2f pos %7.2f (PLC sees %7.2f)  tank: valve %d level %4d‰ (PLC sees %4d‰)\n",
                  static_cast<double>(now - start) / 1e9, static_cast<double>(speed[1]), static_cast<double>(position[1]),
                  static_cast<double>(plc::slot_to_float(controllers[0]->get(reg_position))), valve[2], level[2],
                  controllers[1]->get(reg_level));
      std::fflush(stdout);
    }
    std::this_thread::sleep_until(std::chrono::steady_clock::time_point(std::chrono::nanoseconds(start + (step + 1) * 20'000'000u)));
  }

  stop_machine.store(true);
  machine.join();
  shutdown.store(true);
  exchange.join();
  std::printf("%llu steps; outputs round trip mean %.1f µs, worst %.1f µs; inputs mean %.1f µs, worst %.1f µs\n",
              static_cast<unsigned long long>(out_stats.steps),
              static_cast<double>(out_stats.total_ns) / static_cast<double>(std::max<std::uint64_t>(out_stats.steps, 1)) / 1e3,
              static_cast<double>(out_stats.worst_ns) / 1e3,
              static_cast<double>(in_stats.total_ns) / static_cast<double>(std::max<std::uint64_t>(in_stats.steps, 1)) / 1e3,
              static_cast<double>(in_stats.worst_ns) / 1e3);
  return 0;
}
