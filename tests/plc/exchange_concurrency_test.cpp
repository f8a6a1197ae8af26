// The exchange thread, scanning drivers, rebinding and registry changes all
// at once, as they run in the program. Built under ThreadSanitizer too.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <thread>

#include "support/exchange_fixture.hpp"

namespace kvt::test {
namespace {

TEST(ExchangeConcurrency, PageStepsScansAndRebindingRunTogether) {
  exchange_fixture fx;
  constexpr std::size_t signals = 64;
  std::vector<plc::memory::driver*> drivers;
  for (std::int32_t id = 1; id <= 3; ++id)
    drivers.push_back(&fx.add_memory_driver(
        {.id = id, .inputs = signals, .outputs = signals, .version = 1, .scan_rate = 0.005}));

  // The controllers' own side changes outputs all the time.
  std::atomic<bool> stop{false};
  std::thread machine([&] {
    for (std::int32_t tick = 1; !stop.load(); ++tick) {
      for (auto* d : drivers)
        for (std::size_t i = 0; i < signals; i += 7) d->target().set(output_base + i, tick);
      std::this_thread::yield();
    }
  });

  // The command thread rebinds the third driver with new versions.
  std::atomic<std::uint32_t> rebinds{0};
  std::thread commands([&] {
    for (std::uint32_t version = 2; !stop.load(); ++version) {
      plc::bind(drivers[2]->outputs(), tags_from(output_base, signals - version % 5), version);
      plc::bind(drivers[2]->inputs(), tags_from(0, signals), version);
      drivers[2]->reset_exchanges();
      rebinds.fetch_add(1);
      std::this_thread::sleep_for(std::chrono::microseconds(300));
    }
  });

  // The page steps: outputs, then inputs for the first two drivers, at least
  // 1,500 steps and until the command thread has rebound a few times (on a
  // loaded machine it may start late).
  std::map<std::int32_t, std::vector<std::int32_t>> page_view;
  std::int32_t last_step = 0;
  for (std::int32_t step = 1; step <= 1500 || (rebinds.load() < 3 && step <= 1'000'000); ++step) {
    last_step = step;
    auto records = fx.page().request_outputs();
    ASSERT_TRUE(records) << "no answer to step " << step;
    for (const auto& r : *records) {
      auto& view = page_view[r.id];
      view.resize(signals);
      for (const auto& [index, value] : r.pairs) {
        ASSERT_LT(index, signals);
        view[index] = value;
      }
    }
    std::vector<input_record> inputs;
    for (std::int32_t id = 1; id <= 2; ++id)
      inputs.push_back({.id = id, .version = 1, .pairs = {{static_cast<std::uint32_t>(step % signals), step}}});
    ASSERT_TRUE(fx.page().deliver_inputs(inputs));
  }
  stop.store(true);
  machine.join();
  commands.join();
  EXPECT_GT(rebinds.load(), 0u);

  // With the machine stopped, one more scan and exchange leave the page's
  // view of the first two drivers equal to the controllers' registers.
  for (int i = 0; i < 2; ++i) ASSERT_TRUE(wait_reads(*drivers[static_cast<std::size_t>(i)]));
  auto last = fx.page().request_outputs();
  ASSERT_TRUE(last);
  for (const auto& r : *last) {
    auto& view = page_view[r.id];
    view.resize(signals);
    for (const auto& [index, value] : r.pairs) view[index] = value;
  }
  for (std::size_t k = 0; k < 2; ++k) {
    const auto id = static_cast<std::int32_t>(k + 1);
    for (std::size_t i = 0; i < signals; ++i)
      ASSERT_EQ(page_view[id][i], drivers[k]->target().get(output_base + i)) << "driver " << id << " signal " << i;
  }
  // The last input of each step reached the controller.
  EXPECT_TRUE(eventually([&] {
    return drivers[0]->target().get(static_cast<std::size_t>(last_step) % signals) == last_step;
  }));
}

TEST(ExchangeConcurrency, DriversComeAndGoWhileThePageSteps) {
  exchange_fixture fx;
  std::atomic<bool> stop{false};
  std::thread commands([&] {
    for (std::int32_t id = 10; !stop.load(); ++id) {
      auto& d = fx.add_memory_driver({.id = id, .inputs = 8, .outputs = 8, .scan_rate = 0.005});
      std::this_thread::sleep_for(std::chrono::microseconds(500));
      d.disconnect();
      ASSERT_TRUE(d.connect());
      fx.registry().remove(&d);
    }
  });
  for (int step = 0; step < 1000; ++step) {
    ASSERT_TRUE(fx.page().request_outputs());
    ASSERT_TRUE(fx.page().deliver_inputs({{.id = 10 + step % 50, .version = 1, .pairs = {{1, step}}}}));
  }
  stop.store(true);
  commands.join();
}

}  // namespace
}  // namespace kvt::test
