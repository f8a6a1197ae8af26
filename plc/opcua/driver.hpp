// OPC UA driver on the open62541 client: one Write service call per cycle
// for all changed inputs and one Read service call per cycle for all
// outputs, or, when the server limits the nodes per call (read once per
// connection from its OperationLimits), as many calls as those limits need.
// Each signal is addressed by the node id named for it in the bindings. A
// lost connection is re-established by the scan with growing pauses; the
// bindings stay.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "plc/driver.hpp"
#include "plc/opcua/client.hpp"
#include "plc/opcua/endpoint.hpp"
#include "plc/opcua/node_id.hpp"
#include "plc/opcua/operation_limits.hpp"
#include "plc/opcua/requests.hpp"

namespace kvt::plc::opcua {

class driver final : public plc::driver<handle_ptr> {
 public:
  // Bound on each connection attempt and service call.
  static constexpr std::uint32_t service_timeout_ms = 5000;
  // Reconnection attempts after a lost connection, paused 10 ms × 2^i.
  static constexpr int reconnect_attempts = 12;
  static constexpr std::uint64_t first_reconnect_pause_us = 10'000;

  driver();
  ~driver() override;

  std::int32_t protocol() const noexcept override;
  const std::string& host() const noexcept override { return host_; }
  void configure(const connection_params& params) override;
  connection_params parameters() const override;
  // The session is up, as the scan last saw it.
  bool connected() const noexcept override { return link_up_.load(); }
  bool connect() override;
  void disconnect() override;
  void scan() override;

  // The endpoint URL for the current host and port, if they make one.
  std::optional<std::string> endpoint() const;
  // Read and Write service calls sent since construction (the limits'
  // read at connection not counted).
  std::uint64_t reads_sent() const noexcept { return reads_.load(std::memory_order_relaxed); }
  std::uint64_t writes_sent() const noexcept { return writes_.load(std::memory_order_relaxed); }

 private:
  enum class outcome { ok, refused, link_lost };

  bool reconnect();
  bool pause_unless_stopped(std::uint64_t us);
  outcome write_phase();
  outcome read_phase();
  outcome judge(UA_StatusCode service_result);
  bool open_session();

  // Written by the command thread while no scan runs.
  std::string host_;
  std::atomic<std::int32_t> port_{default_port};
  std::atomic<double> scan_rate_{0.05};

  // Guards the client in `connect` and `disconnect`, which may meet when a
  // background disconnect runs while the page disconnects. The scan uses
  // the client only while neither runs (both stop the scan first).
  std::mutex client_mutex_;
  client client_;
  std::string url_;  // the URL of the last `connect`; the scan reconnects to it
  // The server's limits, read on each new session: by `connect` before the
  // scan starts, then by the scan when it reconnects.
  operation_limits limits_;

  std::atomic<bool> link_up_{false};
  std::atomic<std::uint64_t> reads_{0};
  std::atomic<std::uint64_t> writes_{0};

  // Scan thread only.
  write_request write_;
  read_request read_;
  std::optional<std::uint64_t> read_generation_;  // bindings the read request was built from
};

}  // namespace kvt::plc::opcua
