// FINS driver: an Omron controller over FINS/UDP. Each scan writes the
// changed inputs, one memory area write per input, and reads every output:
// runs of consecutive words of one area with one memory area read each,
// where that takes fewer requests, the rest with multiple memory area reads
// of up to 24 items.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "plc/driver.hpp"
#include "plc/fins/client.hpp"
#include "plc/fins/read_item.hpp"

namespace kvt::plc::fins {

class driver final : public plc::driver<void> {
 public:
  driver() = default;
  ~driver() override;

  std::int32_t protocol() const noexcept override;
  const std::string& host() const noexcept override { return host_; }
  void configure(const connection_params& params) override;
  connection_params parameters() const override;
  bool connected() const noexcept override { return connected_.load(); }
  bool connect() override;
  void disconnect() override;
  void scan() override;

  // How long one request waits for its response (10 s unless changed);
  // takes effect at the next `connect`.
  void set_response_timeout(std::chrono::milliseconds timeout) noexcept;

  // Whether runs of words are read with memory area reads (the default).
  // Off, every output goes into multiple memory area reads, for comparing
  // the two. Takes effect when the next scan starts.
  void set_word_runs(bool on) noexcept { word_runs_.store(on); }

 private:
  // Written by the command thread; read by `connect` and the scan.
  std::string host_;
  std::atomic<std::int32_t> port_{0};
  std::atomic<std::uint8_t> local_network_{0};
  std::atomic<std::uint8_t> local_node_{0};
  std::atomic<std::uint8_t> remote_network_{0};
  std::atomic<std::uint8_t> remote_node_{0};
  std::atomic<double> scan_rate_{0.05};
  std::atomic<std::uint32_t> timeout_ms_{default_timeout_ms};
  std::atomic<bool> word_runs_{true};

  // The client exists while connected. `connect` and `disconnect` (which may
  // run on a background thread after a failed scan) replace it under the
  // mutex after stopping the scan, which alone uses it in between.
  std::mutex link_mutex_;
  std::unique_ptr<client> client_;
  std::atomic<bool> connected_{false};

  // Scan thread only: the outputs' read items and their plan, made again
  // when the outputs are rebound.
  std::vector<read_item> read_items_;
  std::vector<std::uint32_t> read_slots_;  // the batch index of each item
  read_plan read_plan_;
  std::uint64_t planned_generation_ = 0;
  bool planned_ = false;
};

}  // namespace kvt::plc::fins
