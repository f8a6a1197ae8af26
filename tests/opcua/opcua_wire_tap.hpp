// A TCP relay between an OPC UA client and server on loopback that records
// every Read and Write service request passing through it, with the number
// of nodes each carried, so that a test can count service calls per cycle.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

namespace kvt::test {

struct ua_request {
  enum class service { read, write };
  service kind = service::read;
  std::size_t nodes = 0;  // nodes to read or write
};

class opcua_wire_tap {
 public:
  explicit opcua_wire_tap(std::uint16_t server_port);
  ~opcua_wire_tap();
  opcua_wire_tap(const opcua_wire_tap&) = delete;
  opcua_wire_tap& operator=(const opcua_wire_tap&) = delete;

  std::uint16_t port() const noexcept { return port_; }
  std::vector<ua_request> requests() const;
  std::size_t count(ua_request::service kind) const;
  void clear();

 private:
  void run();
  void relay(int client_fd);
  void parse(std::vector<std::uint8_t>& stream);

  std::uint16_t server_port_;
  std::uint16_t port_ = 0;
  int listen_fd_ = -1;
  int wake_fd_[2] = {-1, -1};
  std::atomic<bool> stop_{false};
  mutable std::mutex mutex_;
  std::vector<ua_request> requests_;
  bool inside_message_ = false;  // relay thread only: a chunked message is under way
  std::thread thread_;
};

}  // namespace kvt::test
