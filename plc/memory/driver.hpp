// A driver for the in-memory controller. It has no page protocol code; the
// tests, the benchmark and the demo create it directly.
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "plc/driver.hpp"
#include "plc/memory/controller.hpp"

namespace kvt::plc::memory {

inline constexpr std::int32_t protocol_code = 0;

class driver final : public plc::driver<void> {
 public:
  driver(std::string host, std::shared_ptr<controller> target);
  ~driver() override;

  std::int32_t protocol() const noexcept override { return protocol_code; }
  const std::string& host() const noexcept override { return host_; }
  void configure(const connection_params& params) override;
  connection_params parameters() const override;
  bool connected() const noexcept override { return connected_.load() != 0; }
  bool connect() override;
  void disconnect() override;
  void scan() override;

  controller& target() noexcept { return *controller_; }

 private:
  std::string host_;
  std::shared_ptr<controller> controller_;
  // Written by the command thread, read by the scan thread at its start.
  std::atomic<double> scan_rate_{0.05};
  std::atomic<std::uint64_t> period_us_{scan_period_us(0.05)};
  std::atomic<std::int32_t> connected_{0};
};

}  // namespace kvt::plc::memory
