// Modbus TCP driver on libmodbus: writes the changed inputs (coils, holding
// registers) and reads every output (coils, discrete inputs, holding and
// input registers) once per scan period. Signals at consecutive addresses of
// one area share a request; a server that refuses such a request gets those
// signals one request each for the rest of the connection.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "plc/driver.hpp"
#include "plc/modbus/tcp/request_plan.hpp"

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

  // Whether neighbouring signals share requests (the default). Off, every
  // signal has a request of its own, for comparing the two. Takes effect
  // when the next scan starts.
  void set_grouping(bool on) noexcept { grouping_.store(on); }

 private:
  void close_link();  // caller holds link_mutex_

  // The grouped phases; false when a request failed.
  bool write_grouped(_modbus* ctx, std::int32_t flags, const write_batch<void>& batch);
  bool read_grouped(_modbus* ctx, std::int32_t flags, read_batch<void>& batch);
  // Writes the inputs run_[0, n), consecutive in address, in one request.
  bool write_run(_modbus* ctx, std::int32_t flags, const write_batch<void>& batch, std::size_t n);
  // Notes a range the server refused and says so, once per connection.
  void refuse(const address_range& range, const char* what);

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
  std::atomic<bool> grouping_{true};

  // Scan thread only. The plans follow the bindings' generations; their
  // buffers keep their capacity, so a steady scan does not allocate.
  std::string peer_;  // host:port, for the message about a refusal
  read_plan read_plan_;
  write_plan write_plan_;
  std::vector<std::uint64_t> input_tags_;
  std::vector<std::uint32_t> run_;  // batch positions of one run of inputs
  refusals refused_;
  bool told_refusal_ = false;
  std::uint8_t bits_[max_read_bits] = {};
  std::uint16_t registers_[max_read_registers] = {};
};

}  // namespace kvt::plc::modbus::tcp
