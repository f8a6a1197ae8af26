// One AMS/TCP connection per target host, shared by every ADS port of the
// process. Requests from any thread go out on it at once; replies are
// matched to their requests by invoke id, so several may be in flight.
//
// Target: the host and TCP port that routing.hpp gives for the AMS Net ID.
// Targets with the same host and port share one connection. A host name is
// resolved (to IPv4 addresses; the first one is used) each time the
// connection is opened; a name that does not resolve counts as a
// connection that cannot be made.
//
// Time-out: a request not answered within 5,000 ms fails with 0x746 (the
// ADS client's sync time-out); its late reply is dropped. A connection
// that cannot be made, drops, or delivers a frame whose lengths disagree
// fails every request waiting on it (0x7, target machine not found, when
// the connection could not be made; 0x741, client error, when it was lost
// or spoiled) and is closed; the next request opens a new one.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "plc/ads/ams/frames.hpp"
#include "plc/ads/ams/routing.hpp"

namespace kvt::plc::ads::ams {

inline constexpr std::chrono::milliseconds request_timeout{5000};

inline constexpr std::uint32_t error_target_not_found = 0x7;
inline constexpr std::uint32_t error_invalid_size = 0x705;
inline constexpr std::uint32_t error_client = 0x741;
inline constexpr std::uint32_t error_invalid_parameter = 0x742;
inline constexpr std::uint32_t error_sync_timeout = 0x746;
inline constexpr std::uint32_t error_port_not_open = 0x748;

// The AMS header's error code (0 when the device answered) and the reply's
// command data; or a client error with no data.
struct reply {
  std::uint32_t error = 0;
  std::vector<std::uint8_t> data;
};

class connection {
 public:
  explicit connection(const endpoint& peer);
  ~connection();
  connection(const connection&) = delete;
  connection& operator=(const connection&) = delete;

  // Sends the frame that `build` makes for the invoke id given to it and
  // waits for the answer.
  reply transact(const std::function<std::vector<std::uint8_t>(std::uint32_t invoke_id)>& build);

 private:
  struct impl;
  std::unique_ptr<impl> impl_;
};

// The process's connection to the endpoint of `target` (created on first
// use).
std::shared_ptr<connection> connection_for(const net_id& target);
// Closes every connection (the last ADS port was closed).
void close_all_connections();

}  // namespace kvt::plc::ads::ams
