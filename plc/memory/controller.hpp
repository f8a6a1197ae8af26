// A controller that lives in memory: an array of 32-bit registers addressed
// by the tag descriptor's address bits. It stands in for a real controller in
// the tests, the benchmark and the demo, so that they run the framework and
// the exchange through the same paths the protocol drivers use.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <span>
#include <vector>

namespace kvt::plc::memory {

class controller {
 public:
  explicit controller(std::size_t registers);

  std::size_t size() const noexcept { return registers_.size(); }

  // Register access for the controller's own side (a test or the demo's
  // "machine"). Out-of-range addresses read 0 and ignore writes.
  std::int32_t get(std::uint64_t address) const;
  void set(std::uint64_t address, std::int32_t value);

  // A controller that is offline refuses every request, as one that went away.
  void set_online(bool online) noexcept { online_.store(online); }
  bool online() const noexcept { return online_.load(); }

  // Driver side: one request each; false when the controller is offline.
  bool write(std::span<const std::uint64_t> tags, std::span<const std::int32_t> values);
  bool read(std::span<const std::uint64_t> tags, std::span<std::int32_t> slots);

  // Called at the start of every read request, outside every lock of the
  // driver: lets a test act while a read is in flight.
  void set_read_hook(std::function<void()> hook);

  std::uint64_t reads() const noexcept { return reads_.load(); }
  std::uint64_t writes() const noexcept { return writes_.load(); }

 private:
  mutable std::mutex mutex_;
  std::vector<std::int32_t> registers_;  // guarded by mutex_
  std::function<void()> read_hook_;      // guarded by mutex_
  std::atomic<bool> online_{true};
  std::atomic<std::uint64_t> reads_{0};
  std::atomic<std::uint64_t> writes_{0};
};

}  // namespace kvt::plc::memory
