// Fuzz target: the signal buffer as the exchange thread reads and writes it.
// A few in-memory drivers (ids that may collide, tables of any size and
// version) go through a sequence of steps: scans changing outputs, output
// exchanges (state 1) into a buffer of any size, input records from the
// page (state 2) with well-formed or arbitrary words, rebinding, and resets.
// The buffer is a heap block of exactly its word count, so AddressSanitizer
// sees any access beyond it. Checked:
// - output records stay inside the buffer, come in registry order for the
//   drivers with read outputs, carry the driver's id and version, and their
//   pairs name signals in increasing order with the table's current values;
// - input records change exactly what the page contract says: for the first
//   driver with the record's id, when the version matches, each pair with
//   an index inside the table sets the value and marks it dirty; a record
//   running past the buffer ends the pass;
// - once a buffer with room for everything is exchanged, the page's copy of
//   every table (built only from the records) equals the table.
//
// Input, read from the front (support/input_reader.hpp): the drivers (count,
// then per driver id, input count and version, output count and version),
// then up to 32 steps of driver and step kind with the step's bytes.
#include <algorithm>
#include <cstdint>
#include <memory>
#include <vector>

#include "plc/driver_registry.hpp"
#include "plc/memory/controller.hpp"
#include "plc/memory/driver.hpp"
#include "plc/signal_exchange.hpp"
#include "plc/value_type.hpp"
#include "renderer/page_contract.hpp"
#include "support/check.hpp"
#include "support/input_reader.hpp"

namespace {

using namespace kvt;
namespace sb = kvt::page::signal;

constexpr std::size_t max_drivers = 4;
constexpr std::size_t max_signals = 40;

struct driver_state {
  plc::driver_base* driver = nullptr;
  std::vector<std::int32_t> page_copy;  // the outputs as the page knows them from the records
};

std::vector<std::uint64_t> tags(std::size_t n) {
  std::vector<std::uint64_t> t;
  for (std::size_t i = 0; i < n; ++i) t.push_back(plc::make_tag(plc::value_type::s32, i));
  return t;
}

class bench {
 public:
  explicit bench(fuzz::input_reader& in) : in_(in) {
    const auto n = in.pick<std::size_t>(0, max_drivers);
    for (std::size_t i = 0; i < n; ++i) {
      auto d = std::make_unique<plc::memory::driver>("mem-" + std::to_string(i), controller_);
      d->set_id(in.pick<std::int32_t>(-1, 3));
      drivers_.push_back({registry_.insert(std::move(d)), {}});
      rebind_inputs(drivers_.back());
      rebind_outputs(drivers_.back());
    }
  }

  void step() {
    if (drivers_.empty()) {
      exchange_outputs(buffer_words());
      deliver_inputs(buffer_words());
      return;
    }
    driver_state& d = drivers_[in_.pick<std::size_t>(0, drivers_.size() - 1)];
    switch (in_.pick<int>(0, 6)) {
      case 0: scan(d); break;
      case 1: exchange_outputs(buffer_words()); break;
      case 2: deliver_inputs(buffer_words()); break;
      case 3: rebind_inputs(d); break;
      case 4: rebind_outputs(d); break;
      case 5: d.driver->reset_exchanges(); break;
      case 6: write_phase(d); break;
    }
  }

  // One exchange with room for every table: afterwards the page knows them all.
  void settle() {
    std::size_t words = sb::first_record_word;
    for (const driver_state& d : drivers_) words += sb::output_record::header_words + 2 * d.page_copy.size();
    exchange_outputs(words);
    for (const driver_state& d : drivers_) {
      const plc::outputs_base& out = d.driver->outputs();
      if (out.tags.empty() || out.read_count.load() == 0) continue;
      KVT_FUZZ_CHECK(d.page_copy == out.values, "after an exchange with room for all, the page's copy of driver %d's "
                     "outputs differs from the table", d.driver->id());
    }
  }

 private:
  std::size_t buffer_words() {
    return in_.flag() ? in_.pick<std::size_t>(sb::first_record_word, 64)
                             : in_.pick<std::size_t>(sb::first_record_word, 1024);
  }

  void rebind_inputs(driver_state& d) {
    plc::bind(d.driver->inputs(), tags(in_.pick<std::size_t>(0, max_signals)),
              in_.pick<std::uint32_t>(0, 3));
  }

  void rebind_outputs(driver_state& d) {
    const auto n = in_.pick<std::size_t>(0, max_signals);
    plc::bind(d.driver->outputs(), tags(n), in_.pick<std::uint32_t>(0, 3));
    d.page_copy.assign(n, 0);  // the page rebinds too and starts from zeros
  }

  // A read phase: some outputs change, and the table counts a complete read.
  void scan(driver_state& d) {
    plc::outputs_base& out = d.driver->outputs();
    std::lock_guard lock(out.mutex);
    const auto changes = in_.pick<std::size_t>(0, 12);
    for (std::size_t i = 0; i < changes && !out.values.empty(); ++i)
      out.values[in_.pick<std::size_t>(0, out.values.size() - 1)] =
          in_.pick<std::int32_t>(-2, 2);
    out.read_count.fetch_add(1);
  }

  // A write phase: the scan takes the dirty inputs.
  static void write_phase(driver_state& d) {
    plc::inputs_base& in = d.driver->inputs();
    std::lock_guard lock(in.mutex);
    std::fill(in.dirty.begin(), in.dirty.end(), false);
  }

  void exchange_outputs(std::size_t word_count) {
    std::vector<std::uint32_t> words(word_count, 0xA5A5'A5A5u);
    std::uint32_t records = 0;
    {
      auto lock = registry_.lock();
      records = plc::write_output_records(words.data(), words.size(), registry_);
    }

    std::size_t pos = sb::first_record_word;
    std::uint32_t seen = 0;
    for (driver_state& d : drivers_) {
      plc::outputs_base& out = d.driver->outputs();
      if (out.tags.empty() || out.read_count.load() == 0) continue;
      if (seen == records) {
        KVT_FUZZ_CHECK(word_count < pos || word_count - pos < sb::output_record::header_words,
                       "driver %d has read outputs and room for a record but got none", d.driver->id());
        break;
      }
      ++seen;
      KVT_FUZZ_CHECK(pos <= word_count && word_count - pos >= sb::output_record::header_words,
                     "record %u starts at word %zu of %zu", seen, pos, word_count);
      const std::uint32_t* r = words.data() + pos;
      KVT_FUZZ_CHECK(static_cast<std::int32_t>(r[sb::output_record::id]) == d.driver->id(),
                     "record %u carries id %d, driver %d expected", seen,
                     static_cast<std::int32_t>(r[sb::output_record::id]), d.driver->id());
      KVT_FUZZ_CHECK(r[sb::output_record::version] == out.version.load(), "record %u carries version %u, not %u",
                     seen, r[sb::output_record::version], out.version.load());
      const std::uint32_t n = r[sb::output_record::pair_count];
      pos += sb::output_record::header_words;
      KVT_FUZZ_CHECK(n <= (word_count - pos) / sb::pair_words, "record %u's %u pairs run past the buffer", seen, n);
      std::int64_t last = -1;
      for (std::uint32_t k = 0; k < n; ++k) {
        const std::uint32_t index = words[pos + 2 * k];
        const auto value = static_cast<std::int32_t>(words[pos + 2 * k + 1]);
        KVT_FUZZ_CHECK(index < out.values.size() && static_cast<std::int64_t>(index) > last,
                       "record %u names signal %u after %lld (table of %zu)", seen, index,
                       static_cast<long long>(last), out.values.size());
        KVT_FUZZ_CHECK(value == out.values[index], "record %u sends %d for signal %u, the table holds %d", seen, value,
                       index, out.values[index]);
        last = index;
        d.page_copy[index] = value;
      }
      pos += std::size_t{n} * sb::pair_words;
    }
    KVT_FUZZ_CHECK(seen == records, "%u records written, %u expected", records, seen);
  }

  // The page's input records, well formed or not, and what they must do.
  void deliver_inputs(std::size_t word_count) {
    std::vector<std::uint32_t> words(word_count, 0);
    std::size_t pos = sb::first_record_word;
    const bool arbitrary = in_.pick<int>(0, 7) == 0;
    words[sb::record_count_word] = arbitrary ? in_.word()
                                             : in_.pick<std::uint32_t>(0, max_drivers + 1);
    if (arbitrary) {
      for (; pos < word_count && in_.remaining() > 0; ++pos) words[pos] = in_.word();
    } else {
      for (std::uint32_t r = 0; r < words[sb::record_count_word]; ++r) {
        if (word_count - pos < sb::input_record::header_words) break;
        const std::int32_t id = drivers_.empty() || in_.flag()
                                    ? in_.pick<std::int32_t>(-1, 4)
                                    : drivers_[in_.pick<std::size_t>(0, drivers_.size() - 1)]
                                          .driver->id();
        words[pos++] = static_cast<std::uint32_t>(id);
        words[pos++] = in_.pick<std::uint32_t>(0, 3);
        const auto n = in_.pick<std::uint32_t>(0, 12);
        words[pos++] = in_.pick<int>(0, 15) == 0 ? in_.word() : n;
        for (std::uint32_t k = 0; k < n && word_count - pos >= sb::pair_words; ++k) {
          words[pos++] = in_.pick<std::uint32_t>(0, max_signals + 1);
          words[pos++] = in_.word();
        }
      }
    }

    // What the records must do, read as the page contract describes them.
    std::vector<std::vector<std::int32_t>> values;
    std::vector<std::vector<bool>> dirty;
    for (const driver_state& d : drivers_) {
      values.push_back(d.driver->inputs().values);
      dirty.push_back(d.driver->inputs().dirty);
    }
    std::size_t at = sb::first_record_word;
    for (std::uint32_t r = 0; r < words[sb::record_count_word]; ++r) {
      if (at + sb::input_record::header_words > word_count) break;
      const auto id = static_cast<std::int32_t>(words[at]);
      const std::uint32_t version = words[at + 1];
      const std::uint64_t n = words[at + 2];
      at += sb::input_record::header_words;
      if (at + n * sb::pair_words > word_count) break;
      for (std::size_t i = 0; i < drivers_.size(); ++i) {
        if (drivers_[i].driver->id() != id) continue;
        if (drivers_[i].driver->inputs().version.load() == version) {
          for (std::uint64_t k = 0; k < n; ++k) {
            const std::uint32_t index = words[at + 2 * k];
            if (index >= values[i].size()) continue;
            values[i][index] = static_cast<std::int32_t>(words[at + 2 * k + 1]);
            dirty[i][index] = true;
          }
        }
        break;
      }
      at += n * sb::pair_words;
    }

    {
      auto lock = registry_.lock();
      plc::apply_input_records(words.data(), words.size(), registry_);
    }
    for (std::size_t i = 0; i < drivers_.size(); ++i) {
      KVT_FUZZ_CHECK(drivers_[i].driver->inputs().values == values[i],
                     "input records left driver %zu's values other than the contract says", i);
      KVT_FUZZ_CHECK(drivers_[i].driver->inputs().dirty == dirty[i],
                     "input records left driver %zu's dirty marks other than the contract says", i);
    }
  }

  fuzz::input_reader& in_;
  std::shared_ptr<plc::memory::controller> controller_ = std::make_shared<plc::memory::controller>(1);
  plc::driver_registry registry_;
  std::vector<driver_state> drivers_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  fuzz::input_reader in(bytes, size);
  bench b(in);
  for (int step = 0; step < 32 && in.remaining() > 0; ++step) b.step();
  b.settle();
  return 0;
}
