// The page's side of the signal buffer played against the real exchange
// thread, with in-memory controllers behind real drivers.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "plc/signal_exchange.hpp"
#include "support/exchange_fixture.hpp"

namespace kvt::test {
namespace {

namespace sb = kvt::page::signal;
using std::chrono::milliseconds;

std::int32_t input_value(plc::driver_base& d, std::size_t index) {
  std::lock_guard lock(d.inputs().mutex);
  return d.inputs().values.at(index);
}

bool input_dirty(plc::driver_base& d, std::size_t index) {
  std::lock_guard lock(d.inputs().mutex);
  return d.inputs().dirty.at(index);
}

TEST(SignalExchangeOutputs, FirstExchangeIsFullThenOnlyChangesThenEmpty) {
  exchange_fixture fx;
  auto& d = fx.add_memory_driver({.id = 7, .outputs = 4, .version = 3});
  d.target().set(output_base + 2, 99);
  ASSERT_TRUE(wait_reads(d));

  auto first = fx.page().request_outputs();
  ASSERT_TRUE(first);
  ASSERT_EQ(first->size(), 1u);
  const output_record& r = first->front();
  EXPECT_EQ(r.id, 7);
  EXPECT_EQ(r.version, 3u);
  EXPECT_EQ(r.pairs, (pair_list{{0, 0}, {1, 0}, {2, 99}, {3, 0}}));

  d.target().set(output_base + 1, -5);
  d.target().set(output_base + 3, 12345678);
  ASSERT_TRUE(wait_reads(d));
  auto second = fx.page().request_outputs();
  ASSERT_TRUE(second);
  ASSERT_EQ(second->size(), 1u);
  EXPECT_EQ(second->front().pairs, (pair_list{{1, -5}, {3, 12345678}}));

  ASSERT_TRUE(wait_reads(d));
  auto third = fx.page().request_outputs();
  ASSERT_TRUE(third);
  ASSERT_EQ(third->size(), 1u);
  EXPECT_EQ(third->front().id, 7);
  EXPECT_TRUE(third->front().pairs.empty());
}

TEST(SignalExchangeOutputs, RecordsCarryTheDriversTimesAndVersion) {
  exchange_fixture fx;
  // Not scanning, so the times stay as set here.
  auto& d = fx.add_memory_driver({.id = -2, .inputs = 1, .outputs = 1, .version = 11, .connect = false});
  d.inputs().write_time.store(321);
  d.outputs().read_time.store(654);
  d.outputs().read_count.store(1);
  auto records = fx.page().request_outputs();
  ASSERT_TRUE(records);
  ASSERT_EQ(records->size(), 1u);
  const output_record& r = records->front();
  EXPECT_EQ(r.id, -2);
  EXPECT_EQ(r.write_time, 321u);
  EXPECT_EQ(r.read_time, 654u);
  EXPECT_EQ(r.version, 11u);
  EXPECT_EQ(r.pairs, (pair_list{{0, 0}}));
}

TEST(SignalExchangeOutputs, DriversWithoutReadOrWithoutOutputsSendNoRecord) {
  exchange_fixture fx;
  fx.add_memory_driver({.id = 1, .outputs = 3, .connect = false});  // never read
  auto& no_outputs = fx.add_memory_driver({.id = 2, .inputs = 2, .outputs = 0});
  auto& live = fx.add_memory_driver({.id = 3, .outputs = 2});
  ASSERT_TRUE(wait_reads(no_outputs));
  ASSERT_TRUE(wait_reads(live));

  auto records = fx.page().request_outputs();
  ASSERT_TRUE(records);
  ASSERT_EQ(records->size(), 1u);
  EXPECT_EQ(records->front().id, 3);
  EXPECT_EQ(fx.page().word(sb::record_count_word), 1u);
}

TEST(SignalExchangeOutputs, ResetExchangesMakesTheNextExchangeFull) {
  exchange_fixture fx;
  auto& d = fx.add_memory_driver({.id = 4, .outputs = 3});
  d.target().set(output_base, 8);
  ASSERT_TRUE(wait_reads(d));
  ASSERT_TRUE(fx.page().request_outputs());
  auto quiet = fx.page().request_outputs();
  ASSERT_TRUE(quiet);
  ASSERT_EQ(quiet->size(), 1u);
  EXPECT_TRUE(quiet->front().pairs.empty());

  d.reset_exchanges();
  auto full = fx.page().request_outputs();
  ASSERT_TRUE(full);
  ASSERT_EQ(full->size(), 1u);
  EXPECT_EQ(full->front().pairs, (pair_list{{0, 8}, {1, 0}, {2, 0}}));
}

TEST(SignalExchangeOutputs, ZeroDriversAnswerWithNoRecords) {
  exchange_fixture fx;
  fx.words()[sb::record_count_word] = 77;
  auto records = fx.page().request_outputs();
  ASSERT_TRUE(records);
  EXPECT_TRUE(records->empty());
  EXPECT_EQ(fx.page().state(), sb::state::outputs_ready);
  EXPECT_EQ(fx.page().word(sb::record_count_word), 0u);

  ASSERT_TRUE(fx.page().deliver_raw({1, 1, 1, 0, 5}, 1));
  EXPECT_EQ(fx.page().state(), sb::state::inputs_applied);
  EXPECT_EQ(fx.page().word(sb::record_count_word), 0u);
}

TEST(SignalExchangeOutputs, RebindingOutputsDuringAReadDropsThatRead) {
  exchange_fixture fx;
  auto& d = fx.add_memory_driver({.id = 5, .outputs = 2, .connect = false});
  d.target().set(output_base, 42);
  d.target().set(output_base + 1, 43);

  // First read: rebind (same version, one signal fewer) while the read is in
  // flight. Second read: hold it until the test has looked.
  std::atomic<int> calls{0};
  std::atomic<bool> release{false};
  d.target().set_read_hook([&] {
    const int call = ++calls;
    if (call == 1) plc::bind(d.outputs(), tags_from(output_base, 1), 1);
    if (call == 2)
      while (!release.load()) std::this_thread::sleep_for(milliseconds(1));
  });
  ASSERT_TRUE(d.connect());
  ASSERT_TRUE(eventually([&] { return calls.load() >= 2; }));
  {
    std::lock_guard lock(d.outputs().mutex);
    EXPECT_EQ(d.outputs().values, std::vector<std::int32_t>{0});
    EXPECT_EQ(d.outputs().read_count.load(), 0u);
  }
  auto none = fx.page().request_outputs();
  ASSERT_TRUE(none);
  EXPECT_TRUE(none->empty());

  release.store(true);
  ASSERT_TRUE(wait_reads(d, 1));
  auto records = fx.page().request_outputs();
  ASSERT_TRUE(records);
  ASSERT_EQ(records->size(), 1u);
  EXPECT_EQ(records->front().pairs, (pair_list{{0, 42}}));
  d.target().set_read_hook(nullptr);
}

TEST(SignalExchangeOutputs, ABufferTooSmallKeepsUnsentOutputsForLaterExchanges) {
  // Room for two record headers and three pairs, followed by guard words.
  constexpr std::size_t words = sb::first_record_word + 2 * sb::output_record::header_words + 3 * sb::pair_words;
  exchange_fixture fx(words, 16);
  auto& a = fx.add_memory_driver({.id = 1, .outputs = 8});
  auto& b = fx.add_memory_driver({.id = 2, .outputs = 1});
  for (int i = 0; i < 8; ++i) a.target().set(output_base + static_cast<std::uint64_t>(i), 100 + i);
  b.target().set(output_base, -1);
  ASSERT_TRUE(wait_reads(a));
  ASSERT_TRUE(wait_reads(b));

  // Collect what reaches the page over a few exchanges: every value arrives
  // exactly once, none is lost, nothing is written past the buffer.
  std::vector<std::pair<std::int32_t, std::uint32_t>> seen;
  std::vector<std::int32_t> values_a(8, 0);
  for (int step = 0; step < 6; ++step) {
    auto records = fx.page().request_outputs();
    ASSERT_TRUE(records);
    for (const auto& r : *records) {
      EXPECT_LE(r.pairs.size(), 5u);
      for (const auto& [index, value] : r.pairs) {
        seen.emplace_back(r.id, index);
        if (r.id == 1) values_a.at(index) = value;
        if (r.id == 2) {
          EXPECT_EQ(value, -1);
        }
      }
    }
  }
  EXPECT_TRUE(fx.guard_intact());
  for (int i = 0; i < 8; ++i) EXPECT_EQ(values_a[static_cast<std::size_t>(i)], 100 + i) << "index " << i;
  EXPECT_NE(std::find(seen.begin(), seen.end(), std::pair<std::int32_t, std::uint32_t>{2, 0}), seen.end());
  std::sort(seen.begin(), seen.end());
  EXPECT_EQ(std::adjacent_find(seen.begin(), seen.end()), seen.end()) << "a value was sent twice";

  // Later changes that exceed the room are also delivered over two steps.
  for (int i = 0; i < 5; ++i) a.target().set(output_base + static_cast<std::uint64_t>(i), 200 + i);
  ASSERT_TRUE(wait_reads(a));
  for (int step = 0; step < 4; ++step) {
    auto records = fx.page().request_outputs();
    ASSERT_TRUE(records);
    for (const auto& r : *records) {
      if (r.id != 1) continue;
      for (const auto& [index, value] : r.pairs) values_a.at(index) = value;
    }
  }
  for (int i = 0; i < 5; ++i) EXPECT_EQ(values_a[static_cast<std::size_t>(i)], 200 + i) << "index " << i;
  EXPECT_TRUE(fx.guard_intact());
}

TEST(SignalExchangeInputs, ValuesReachTheControllerAndStaleOrUnknownRecordsAreSteppedOver) {
  exchange_fixture fx;
  auto& a = fx.add_memory_driver({.id = 1, .inputs = 4, .version = 5});
  auto& b = fx.add_memory_driver({.id = 2, .inputs = 2, .version = 9});
  ASSERT_TRUE(wait_reads(a));
  ASSERT_TRUE(wait_reads(b));

  ASSERT_TRUE(fx.page().deliver_inputs({
      {.id = 1, .version = 4, .pairs = {{0, 111}, {1, 222}}},  // stale version
      {.id = 99, .version = 5, .pairs = {{0, 333}}},            // unknown driver
      {.id = 2, .version = 9, .pairs = {}},                     // N = 0: three words
      {.id = 1, .version = 5, .pairs = {{3, -77}, {2, 1}}},
      {.id = 2, .version = 9, .pairs = {{1, 0x7FFFFFFF}}},
  }));
  EXPECT_EQ(input_value(a, 0), 0);
  EXPECT_EQ(input_value(a, 1), 0);
  EXPECT_EQ(input_value(a, 3), -77);
  EXPECT_EQ(input_value(a, 2), 1);
  EXPECT_EQ(input_value(b, 1), 0x7FFFFFFF);
  EXPECT_EQ(fx.page().word(sb::record_count_word), 0u);

  EXPECT_TRUE(eventually([&] { return a.target().get(3) == -77 && a.target().get(2) == 1; }));
  EXPECT_TRUE(eventually([&] { return b.target().get(1) == 0x7FFFFFFF; }));
  EXPECT_EQ(a.target().get(0), 0);
}

TEST(SignalExchangeInputs, AnEmptyRecordConsumesExactlyThreeWords) {
  exchange_fixture fx;
  auto& d = fx.add_memory_driver({.id = 3, .inputs = 2, .version = 1});
  // Record 1: id 3, version 1, N = 0. Record 2 starts right after it.
  ASSERT_TRUE(fx.page().deliver_raw({3, 1, 0, 3, 1, 1, 1, 555}, 2));
  EXPECT_EQ(input_value(d, 1), 555);
  EXPECT_EQ(input_value(d, 0), 0);
}

TEST(SignalExchangeInputs, OutOfRangeIndicesAndRecordsPastTheEndAreIgnored) {
  constexpr std::size_t words = 32;
  exchange_fixture fx(words);
  auto& d = fx.add_memory_driver({.id = 1, .inputs = 2, .version = 1});
  ASSERT_TRUE(wait_reads(d));
  {
    std::lock_guard lock(d.inputs().mutex);
    std::fill(d.inputs().dirty.begin(), d.inputs().dirty.end(), false);
  }

  // Index 2 is outside a two-signal table; index 0 beside it still applies.
  ASSERT_TRUE(fx.page().deliver_inputs({{.id = 1, .version = 1, .pairs = {{2, 9}, {0, 4}}}}));
  EXPECT_EQ(input_value(d, 0), 4);
  EXPECT_FALSE(input_dirty(d, 1));

  // A record whose pairs run past the end of the buffer is not applied, and
  // a record count far beyond the buffer reads nothing past it.
  ASSERT_TRUE(fx.page().deliver_raw({1, 1, 1000, 1, 6}, 1));
  EXPECT_EQ(input_value(d, 1), 0);
  ASSERT_TRUE(fx.page().deliver_raw({1, 1, 0}, 0xFFFF'FFFFu));
  EXPECT_EQ(input_value(d, 0), 4);
}

TEST(SignalExchangeInputs, EveryBoundInputIsWrittenOnceAfterBinding) {
  exchange_fixture fx;
  auto target = std::make_shared<plc::memory::controller>(8);
  for (std::uint64_t a = 0; a < 3; ++a) target->set(a, 1234);
  auto owned = std::make_unique<plc::memory::driver>("zeros", target);
  auto& d = *owned;
  plc::bind(d.inputs(), tags_from(0, 3), 1);
  ASSERT_TRUE(d.connect());
  fx.registry().insert(std::move(owned));
  // The freshly bound zeros overwrite what the controller held.
  EXPECT_TRUE(eventually([&] { return target->get(0) == 0 && target->get(1) == 0 && target->get(2) == 0; }));
  // Once written, clean inputs are not written again.
  ASSERT_TRUE(wait_reads(d, 3));
  EXPECT_EQ(target->writes(), 1u);
}

}  // namespace
}  // namespace kvt::test
