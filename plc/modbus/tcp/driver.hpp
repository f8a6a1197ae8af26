// Modbus TCP driver on libmodbus: writes the changed inputs (coils, holding
// registers) and reads every output (coils, discrete inputs, holding and
// input registers), one request per signal, once per scan period.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "plc/driver.hpp"

struct _modbus;

namespace kvt::plc::modbus::tcp {

class driver final : public plc::driver<void> {
 public:
  driver() = default;
  ~driver() override;

  std::int32_t protocol() const noexcept override;
  const std::string& host() const noexcept override { return host_; }
  void configure(const connection_params& params) override;
  connection_params parameters() const override;
  bool connected() const noexcept override { return connected_.load() != 0; }
  bool connect() override;
  void disconnect() override;
  void scan() override;

 private:
  void close_link();  // caller holds link_mutex_

  // Written by the command thread; the scan reads them once when it starts.
  std::string host_;
  std::string type_;
  std::atomic<std::int32_t> port_{0};
  std::atomic<std::int32_t> unit_id_{0};
  std::atomic<std::int32_t> flags_{0};
  std::atomic<double> scan_rate_{0.05};

  // The connection. Opened by `connect`, closed by `disconnect` (which may
  // run on a background thread after a failed scan, so both take the mutex);
  // the scan thread uses it while it runs, between the two.
  std::mutex link_mutex_;
  _modbus* context_ = nullptr;
  std::atomic<std::int32_t> connected_{0};
};

}  // namespace kvt::plc::modbus::tcp
