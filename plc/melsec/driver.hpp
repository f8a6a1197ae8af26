// MELSEC driver: a Mitsubishi controller through the communication
// component (plc/melsec/mc). Each scan writes the changed inputs with one
// random write of their device list and reads every output with one random
// read; 32-bit values take two consecutive word devices, low word first.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "plc/driver.hpp"
#include "plc/melsec/device_list.hpp"

namespace kvt::plc::melsec {

namespace mc {
class component;
}

inline constexpr std::int32_t default_station = 1;

class driver final : public plc::driver<void> {
 public:
  driver();
  ~driver() override;

  std::int32_t protocol() const noexcept override;
  const std::string& host() const noexcept override { return host_; }
  void configure(const connection_params& params) override;
  connection_params parameters() const override;
  bool connected() const noexcept override { return connected_.load(); }
  bool connect() override;
  void disconnect() override;
  void scan() override;

 private:
  std::string host_;
  std::atomic<std::int32_t> station_{default_station};
  std::atomic<double> scan_rate_{0.05};

  // Made for the connection's host when the driver is first configured and
  // kept for the driver's life; the component serialises its own calls.
  std::mutex component_mutex_;
  std::shared_ptr<mc::component> component_;
  std::atomic<bool> connected_{false};

  // Scan thread only.
  device_list list_;
  std::vector<std::int32_t> decoded_;
};

}  // namespace kvt::plc::melsec
