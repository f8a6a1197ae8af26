#include "plc/signal_exchange.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>

#include "platform/clock.hpp"
#include "platform/precise_timer.hpp"
#include "platform/thread_priority.hpp"
#include "renderer/page_contract.hpp"

namespace kvt::plc {

namespace sb = kvt::page::signal;

namespace {

// Silence after which the thread polls only every 100 ms.
constexpr std::uint64_t idle_after_us = 1'000'000;
constexpr std::uint64_t idle_poll_us = 100'000;
// Gaps this long are pauses, not part of the page's rhythm.
constexpr std::uint64_t pause_ns = 100'000'000;
// Margin kept awake (spinning) before an expected request, and the shortest
// expected gap worth sleeping through.
constexpr std::uint64_t wake_margin_us = 3000;
constexpr std::uint64_t min_sleep_gap_us = 4000;

std::uint32_t load_state(const std::uint32_t* words) noexcept {
  return std::atomic_ref<const std::uint32_t>(words[sb::state_word]).load(std::memory_order_acquire);
}

void store_state(std::uint32_t* words, std::uint32_t state) noexcept {
  std::atomic_ref<std::uint32_t>(words[sb::state_word]).store(state, std::memory_order_release);
}

// Writes the pairs of one driver's record; returns how many fit into `room`.
std::size_t write_pairs(outputs_base& out, bool full, std::uint32_t* pairs, std::size_t room) {
  const std::size_t n = out.values.size();
  const std::int32_t* values = out.values.data();
  std::int32_t* shadow = out.shadow.data();
  std::size_t written = 0;

  if (full) {
    const std::size_t sent = std::min(n, room);
    for (std::size_t i = 0; i < sent; ++i) {
      pairs[2 * i] = static_cast<std::uint32_t>(i);
      pairs[2 * i + 1] = static_cast<std::uint32_t>(values[i]);
      shadow[i] = values[i];
    }
    out.unsent_from = sent < n ? static_cast<std::uint32_t>(sent) : outputs_base::all_sent;
    return sent;
  }

  const auto emit = [&](std::size_t i) {
    if (written == room) return false;  // the rest stays unsent: shadow untouched
    pairs[2 * written] = static_cast<std::uint32_t>(i);
    pairs[2 * written + 1] = static_cast<std::uint32_t>(values[i]);
    shadow[i] = values[i];
    ++written;
    return true;
  };

  // Signals the page has seen: send those that differ from the shadow.
  // Unchanged blocks are skipped a block at a time.
  constexpr std::size_t block = 8;
  const std::size_t compare_end = std::min<std::size_t>(n, out.unsent_from);
  std::size_t i = 0;
  while (i < compare_end) {
    if (compare_end - i >= block && std::memcmp(values + i, shadow + i, block * sizeof *values) == 0) {
      i += block;
      continue;
    }
    for (const std::size_t end = std::min(compare_end, i + block); i < end; ++i)
      if (values[i] != shadow[i] && !emit(i)) return written;
  }
  // Signals a full exchange could not fit: send them whatever the shadow says.
  for (; i < n; ++i) {
    if (!emit(i)) {
      out.unsent_from = static_cast<std::uint32_t>(i);
      return written;
    }
  }
  out.unsent_from = outputs_base::all_sent;
  return written;
}

driver_base* find_by_id(const driver_registry& registry, std::int32_t id) noexcept {
  for (const auto& d : registry.drivers())
    if (d->id() == id) return d.get();
  return nullptr;
}

}  // namespace

std::uint32_t write_output_records(std::uint32_t* words, std::size_t word_count, const driver_registry& registry) {
  std::size_t pos = sb::first_record_word;
  std::uint32_t records = 0;
  for (const auto& d : registry.drivers()) {
    const std::int32_t id = d->id();
    const std::uint32_t write_time = d->inputs().write_time.load();
    outputs_base& out = d->outputs();
    std::lock_guard lock(out.mutex);
    if (out.tags.empty() || out.read_count.load() == 0) continue;
    // Without room for the header the driver waits for the next exchange,
    // which then still counts as its first if this one would have been.
    if (pos > word_count || word_count - pos < sb::output_record::header_words) continue;

    std::uint32_t* record = words + pos;
    record[sb::output_record::id] = static_cast<std::uint32_t>(id);
    record[sb::output_record::write_time] = write_time;
    record[sb::output_record::read_time] = out.read_time.load();
    record[sb::output_record::version] = out.version.load();
    const bool full = d->next_exchange() == 0;
    const std::size_t room = (word_count - pos - sb::output_record::header_words) / sb::pair_words;
    const std::size_t pairs = write_pairs(out, full, record + sb::output_record::header_words, room);
    record[sb::output_record::pair_count] = static_cast<std::uint32_t>(pairs);
    pos += sb::output_record::header_words + pairs * sb::pair_words;
    ++records;
  }
  return records;
}

void apply_input_records(const std::uint32_t* words, std::size_t word_count, const driver_registry& registry) {
  const std::uint32_t m = words[sb::record_count_word];
  std::size_t pos = sb::first_record_word;
  for (std::uint32_t r = 0; r < m; ++r) {
    if (pos > word_count || word_count - pos < sb::input_record::header_words) return;
    const auto id = static_cast<std::int32_t>(words[pos + sb::input_record::id]);
    const std::uint32_t version = words[pos + sb::input_record::version];
    const std::uint32_t n = words[pos + sb::input_record::pair_count];
    pos += sb::input_record::header_words;
    if (n == 0) continue;
    if (n > (word_count - pos) / sb::pair_words) return;  // runs past the buffer's end

    if (driver_base* d = find_by_id(registry, id)) {
      inputs_base& in = d->inputs();
      std::lock_guard lock(in.mutex);
      if (in.version.load() == version) {
        const std::size_t size = in.values.size();
        for (std::uint32_t k = 0; k < n; ++k) {
          const std::uint32_t index = words[pos + sb::pair_words * k];
          if (index >= size) continue;
          in.values[index] = static_cast<std::int32_t>(words[pos + sb::pair_words * k + 1]);
          in.dirty[index] = true;
        }
      }
    }
    pos += std::size_t{n} * sb::pair_words;
  }
}

namespace {

class exchange_loop {
 public:
  exchange_loop(void* buffer, std::size_t bytes, const driver_registry& registry)
      : words_(bytes / sb::word_bytes >= sb::first_record_word ? static_cast<std::uint32_t*>(buffer) : nullptr),
        word_count_(bytes / sb::word_bytes),
        registry_(registry) {
    const std::uint64_t start = platform::monotonic_ns();
    last_reply_ = request_ = delivery_ = start;
  }

  void pass() {
    if ((platform::monotonic_ns() - last_reply_) / 1000 > idle_after_us) {
      platform::sleep_us(&timer_, idle_poll_us);
      a_ = b_ = 0;
    }
    if (words_ == nullptr) return;

    switch (load_state(words_)) {
      case sb::state::outputs_requested: serve_outputs(); break;
      case sb::state::inputs_delivered: serve_inputs(); break;
      default:
        ++idle_polls_;
        platform::cpu_relax();
        break;
    }
  }

 private:
  void serve_outputs() {
    request_ = platform::monotonic_ns();
    if (request_ - delivery_ < pause_ns) b_ = (9 * b_ + (request_ - delivery_)) / 10;
    check_pace_key();
    std::uint32_t records;
    {
      auto lock = registry_.lock();
      records = write_output_records(words_, word_count_, registry_);
    }
    words_[sb::record_count_word] = records;
    store_state(words_, sb::state::outputs_ready);
    last_reply_ = platform::monotonic_ns();
    adaptive_sleep(a_);
  }

  void serve_inputs() {
    delivery_ = platform::monotonic_ns();
    if (delivery_ - request_ < pause_ns) a_ = (9 * a_ + (delivery_ - request_)) / 10;
    check_pace_key();
    {
      auto lock = registry_.lock();
      apply_input_records(words_, word_count_, registry_);
    }
    words_[sb::record_count_word] = 0;
    store_state(words_, sb::state::inputs_applied);
    adaptive_sleep(b_);
  }

  // A new pace key means the page changed its stepping: forget the rhythm.
  void check_pace_key() {
    float key;
    std::memcpy(&key, &words_[sb::pace_key_word], sizeof key);
    if (key != pace_key_ || std::isnan(key) || std::isnan(pace_key_)) {
      a_ = b_ = 0;
      pace_key_ = key;
    }
  }

  // Sleeps through the expected gap less a margin; an estimate that made the
  // thread oversleep (the request was already waiting) shrinks by a fifth.
  void adaptive_sleep(std::uint64_t& estimate) {
    if (idle_polls_ == 0) estimate -= estimate / 5;
    const std::uint64_t us = estimate / 1000;
    if (us > min_sleep_gap_us) platform::sleep_us(&timer_, us - wake_margin_us);
    idle_polls_ = 0;
  }

  std::uint32_t* const words_;
  const std::size_t word_count_;
  const driver_registry& registry_;
  platform::precise_timer timer_;
  std::uint64_t last_reply_ = 0;
  std::uint64_t request_ = 0;
  std::uint64_t delivery_ = 0;
  std::uint64_t a_ = 0;  // request-to-delivery estimate, ns
  std::uint64_t b_ = 0;  // delivery-to-request estimate, ns
  float pace_key_ = 1.0f;
  std::uint64_t idle_polls_ = 0;
};

}  // namespace

void run_signal_exchange(void* buffer, std::size_t bytes, const driver_registry& registry,
                         const std::atomic<bool>& shutdown) {
  platform::set_current_thread_priority(platform::thread_priority::highest);
  exchange_loop loop(buffer, bytes, registry);
  while (!shutdown.load()) loop.pass();
}

}  // namespace kvt::plc
