// The framework half of every driver: id, tables, exchange count, the scan
// thread and the common scan loop. A protocol driver derives from driver<T>,
// where T is the per-signal handle it keeps beside each tag (void when the
// tag descriptor says everything).
//
// A protocol driver's destructor must call `halt()` before its members go
// away, since the scan thread and a background disconnect run the protocol's
// code; its `connect` calls `halt()` first for the same reason.
#pragma once

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <type_traits>
#include <utility>

#include "platform/clock.hpp"
#include "platform/precise_timer.hpp"
#include "platform/thread_priority.hpp"
#include "plc/driver_base.hpp"
#include "plc/scan_batch.hpp"
#include "plc/scan_pacing.hpp"
#include "plc/tables.hpp"

namespace kvt::plc {

// Outcome of a protocol's write or read phase.
enum class phase_result { ok, failed };

template <class T>
class driver : public driver_base {
 public:
  using handle_type = T;

  ~driver() override { halt(); }

  void set_id(std::int32_t id) noexcept final { id_.store(id); }
  std::int32_t id() const noexcept final { return id_.load(); }

  plc::inputs<T>& inputs() noexcept final { return inputs_; }
  const plc::inputs<T>& inputs() const noexcept final { return inputs_; }
  plc::outputs<T>& outputs() noexcept final { return outputs_; }
  const plc::outputs<T>& outputs() const noexcept final { return outputs_; }

  std::uint32_t next_exchange() noexcept final { return exchanges_.fetch_add(1); }
  void reset_exchanges() noexcept final { exchanges_.store(0); }

  // Whether a scan thread currently exists (started and not yet stopped).
  bool scanning() const {
    std::lock_guard lock(thread_mutex_);
    return thread_.has_value();
  }

 protected:
  driver() : background_(std::make_shared<background_state>()) {}

  // Starts the scan thread unless one exists. Thread creation failures are
  // raised as std::system_error.
  void start() {
    std::lock_guard lock(thread_mutex_);
    if (thread_) return;
    stop_.store(0);
    thread_.emplace([this] { scan_thread_main(); });
  }

  // Asks the scan thread to leave its loop and joins it. Raises
  // std::errc::resource_deadlock_would_occur when called from the scan thread.
  void stop() {
    std::lock_guard lock(thread_mutex_);
    stop_.store(1);
    if (!thread_) return;
    if (thread_->get_id() == std::this_thread::get_id())
      throw std::system_error(std::make_error_code(std::errc::resource_deadlock_would_occur),
                              "a scan thread cannot stop itself");
    thread_->join();
    thread_.reset();
  }

  bool stop_requested() const noexcept { return stop_.load() != 0; }

  // Called by a scan that cannot go on: a detached thread disconnects the
  // driver while the scan returns.
  void disconnect_in_background() {
    auto state = background_;
    {
      std::lock_guard lock(state->mutex);
      ++state->pending;
    }
    try {
      std::thread([this, state] {
        disconnect();
        {
          std::lock_guard lock(state->mutex);
          --state->pending;
        }
        state->done.notify_all();
      }).detach();
    } catch (...) {
      std::lock_guard lock(state->mutex);
      --state->pending;
      throw;
    }
  }

  // Ends every thread that runs this driver's code: stops the scan thread,
  // then waits for a background disconnect it may have started (only the
  // scan starts them, so none can begin afterwards). `connect` calls it
  // first, so a reconnection never races the failed scan's clean-up, and
  // protocol destructors call it before their members go away. Safe to call
  // more than once.
  void halt() {
    stop();
    auto state = background_;
    std::unique_lock lock(state->mutex);
    state->done.wait(lock, [&] { return state->pending == 0; });
  }

  const platform::precise_timer* timer() const noexcept { return &timer_; }

  // Moves every dirty input into `batch` and clears its dirty bit.
  void collect_dirty_inputs(write_batch<T>& batch) {
    batch.clear();
    std::lock_guard lock(inputs_.mutex);
    batch.generation = inputs_.generation;
    const std::size_t n = inputs_.tags.size();
    for (std::size_t i = 0; i < n; ++i) {
      if (!inputs_.dirty[i]) continue;
      inputs_.dirty[i] = false;
      batch.indices.push_back(static_cast<std::uint32_t>(i));
      batch.tags.push_back(inputs_.tags[i]);
      batch.values.push_back(inputs_.values[i]);
      if constexpr (!std::is_void_v<T>) batch.handles.push_back(inputs_.handles[i]);
    }
  }

  // After a failed write: marks the batch's inputs dirty again (unless the
  // bindings were replaced meanwhile), so that they are written once the
  // link is back instead of being lost.
  void restore_dirty_inputs(const write_batch<T>& batch) {
    std::lock_guard lock(inputs_.mutex);
    if (inputs_.generation != batch.generation) return;
    for (const std::uint32_t i : batch.indices) inputs_.dirty[i] = true;
  }

  // Copies the bound outputs into `batch` and zeroes its slots.
  void snapshot_outputs(read_batch<T>& batch) {
    std::lock_guard lock(outputs_.mutex);
    batch.generation = outputs_.generation;
    batch.tags.assign(outputs_.tags.begin(), outputs_.tags.end());
    if constexpr (!std::is_void_v<T>) batch.handles.assign(outputs_.handles.begin(), outputs_.handles.end());
    batch.slots.assign(batch.tags.size(), 0);
  }

  // Starts a read's slots from the values held (when the binding is still
  // the one snapshotted), for protocols that store only some bytes of a
  // slot: narrow types keep their upper bytes, types not carried their
  // whole slot.
  void keep_held_values(read_batch<T>& batch) {
    std::lock_guard lock(outputs_.mutex);
    if (outputs_.generation == batch.generation && outputs_.values.size() == batch.slots.size())
      std::copy(outputs_.values.begin(), outputs_.values.end(), batch.slots.begin());
  }

  // Stores a completed read unless the outputs were rebound during it.
  // Returns whether the values were stored.
  bool store_outputs(const read_batch<T>& batch) {
    std::lock_guard lock(outputs_.mutex);
    if (outputs_.generation != batch.generation) return false;
    std::copy(batch.slots.begin(), batch.slots.end(), outputs_.values.begin());
    outputs_.read_count.fetch_add(1);
    return true;
  }

  // The common scan loop: write phase, pacing, read phase, until stopped.
  // `write(const write_batch<T>&)` is called only with dirty inputs;
  // `read(read_batch<T>&)` fills the slots. A failed phase ends the loop and,
  // unless a stop was asked for (someone is already disconnecting), starts a
  // background disconnect. A failed read is not stored: its slots would
  // show the page zeros the controller never had.
  template <class WriteFn, class ReadFn>
  void run_scan_loop(std::uint64_t period_us, WriteFn&& write, ReadFn&& read) {
    while (!stop_requested()) {
      const std::uint64_t t0 = platform::monotonic_ns();
      collect_dirty_inputs(write_scratch_);
      const bool wrote = write_scratch_.empty() || write(std::as_const(write_scratch_)) == phase_result::ok;
      const std::uint32_t write_us = platform::elapsed_us(t0, platform::monotonic_ns());
      inputs_.write_time.store(write_us);
      if (!wrote) {
        restore_dirty_inputs(write_scratch_);
        fail_scan();
        return;
      }

      pace_scan(timer(), scan_wait_us(period_us, outputs_.read_time.load(), write_us));

      const std::uint64_t t2 = platform::monotonic_ns();
      snapshot_outputs(read_scratch_);
      const bool got = read(read_scratch_) == phase_result::ok;
      if (got) store_outputs(read_scratch_);
      outputs_.read_time.store(platform::elapsed_us(t2, platform::monotonic_ns()));
      if (!got) {
        fail_scan();
        return;
      }
    }
  }

  // Ends a scan after a communication failure.
  void fail_scan() {
    if (!stop_requested()) disconnect_in_background();
  }

 private:
  struct background_state {
    std::mutex mutex;
    std::condition_variable done;
    int pending = 0;
  };

  void scan_thread_main() {
    platform::set_current_thread_priority(platform::thread_priority::time_critical);
    platform::precise_timer::adopt_current_thread();
    try {
      scan();
    } catch (const std::exception& e) {
      // Nobody waits on a scan thread's result; say why it ended.
      std::fprintf(stderr, "scan of %s ended: %s\n", host().c_str(), e.what());
    }
  }

  plc::inputs<T> inputs_;
  plc::outputs<T> outputs_;
  platform::precise_timer timer_;
  std::atomic<std::int32_t> id_{-1};
  std::atomic<std::uint8_t> stop_{0};
  mutable std::mutex thread_mutex_;
  std::optional<std::thread> thread_;  // guarded by thread_mutex_
  std::atomic<std::uint32_t> exchanges_{0};
  std::shared_ptr<background_state> background_;
  write_batch<T> write_scratch_;  // scan thread only
  read_batch<T> read_scratch_;    // scan thread only
};

}  // namespace kvt::plc
