// ADS driver: a TwinCAT runtime through the ADS library. Each scan writes
// the changed inputs with sum writes (0xF081) and reads every output with
// sum reads (0xF080), at most 500 items per request. Symbol names are
// resolved to tag descriptors when bindings arrive.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "plc/ads/ams/tc_ads_api.h"
#include "plc/ads/sum_request.hpp"
#include "plc/driver.hpp"

namespace kvt::plc::ads {

struct tc_ads_calls;

inline constexpr std::int32_t default_ams_port = 851;

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

  // Looks `name` up in the controller (connecting first if need be) and
  // puts its area and index offset into `tag`, keeping the type bits.
  // False, with `tag` unchanged, when the symbol cannot be resolved.
  bool resolve_symbol(std::string_view name, std::uint64_t& tag);

 private:
  // Sends the requests in `requests[0..used)`; the results ORed.
  long send_sums(std::vector<sum_request>& requests, std::size_t used, std::uint32_t group);
  // Starts a new request when the current one is full; returns the current one.
  sum_request& open_request(std::vector<sum_request>& requests, std::size_t& used);

  std::string host_;
  std::string type_;
  std::atomic<std::int32_t> port_{default_ams_port};
  std::atomic<bool> data_area_{false};
  std::atomic<double> scan_rate_{0.05};

  // `connect`, `disconnect` and the destructor (which may run on the
  // command thread or a background thread) take this; the address is
  // written only there, with the scan stopped.
  std::mutex link_mutex_;
  const tc_ads_calls* ads_ = nullptr;  // the library's calls, once loaded
  AmsAddr address_{};
  bool port_open_ = false;  // this driver holds one open of the process's ADS port
  std::atomic<bool> connected_{false};

  // Scan thread only; kept between cycles so a steady scan does not allocate.
  std::vector<sum_request> writes_;
  std::vector<sum_request> reads_;
};

}  // namespace kvt::plc::ads
