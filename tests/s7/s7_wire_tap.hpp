// A TCP relay between an S7 client and server on loopback that decodes each
// read and write request passing through it, so that a test can see how the
// items were split into requests and what each item addressed.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

namespace kvt::test {

struct wire_item {
  int transport = 0;  // word length of the item
  int amount = 0;
  int db = 0;
  int area = 0;
  int address = 0;  // bit address: byte × 8 + bit
};

struct wire_request {
  bool write = false;
  std::vector<wire_item> items;
};

class s7_wire_tap {
 public:
  explicit s7_wire_tap(std::uint16_t server_port);
  ~s7_wire_tap();
  s7_wire_tap(const s7_wire_tap&) = delete;
  s7_wire_tap& operator=(const s7_wire_tap&) = delete;

  std::uint16_t port() const noexcept { return port_; }
  std::vector<wire_request> requests() const;
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
  std::vector<wire_request> requests_;
  std::thread thread_;
};

}  // namespace kvt::test
