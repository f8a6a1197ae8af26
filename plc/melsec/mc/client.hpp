// The TCP transport of the communication component: one connection to one
// controller, one request at a time (the caller serialises), each answered
// by exactly one 3E response. Every operation is bounded by the time-out:
// a peer that never answers, or a connection that cannot be made, fails the
// call instead of hanging it. After a time-out, a drop or a malformed
// response the connection is closed (a late answer would otherwise be taken
// for the next request's); the next connect() opens a new one. Sockets are
// close-on-exec (platform layer) and driven through Boost.Asio.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace kvt::plc::melsec::mc {

inline constexpr std::chrono::milliseconds default_timeout{5000};

class client {
 public:
  client(std::string host, std::uint16_t port);
  ~client();
  client(const client&) = delete;
  client& operator=(const client&) = delete;

  void set_timeout(std::chrono::milliseconds timeout) noexcept { timeout_ = timeout; }
  std::chrono::milliseconds timeout() const noexcept { return timeout_; }

  bool connected() const noexcept;
  // Connects unless connected: code::ok, bad_host or connect_failed, with
  // `error` saying why.
  std::int32_t connect(std::string& error);
  void disconnect() noexcept;

  // Sends `request` and reads one whole response frame into `response`:
  // code::ok, timed_out, connection_lost or bad_response (a header that is
  // not a 3E response header).
  std::int32_t exchange(std::span<const std::uint8_t> request, std::vector<std::uint8_t>& response,
                        std::string& error);

 private:
  struct impl;
  std::string host_;
  std::uint16_t port_;
  std::chrono::milliseconds timeout_ = default_timeout;
  std::unique_ptr<impl> impl_;
};

}  // namespace kvt::plc::melsec::mc
