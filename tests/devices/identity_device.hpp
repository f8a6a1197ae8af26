// A simulated EtherNet/IP device in the test network: it answers List
// Identity requests on UDP port 44818 with its identity, after an optional
// delay and as many times as asked.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

namespace kvt::test {

struct identity {
  std::uint16_t vendor = 1;
  std::uint16_t device_type = 0x0E;
  std::string product_name = "1769-L33ER/A LOGIX5333ER";
  std::uint8_t name_length = 0;  // 0: the name's own length
  std::uint8_t state = 3;
};

// The List Identity reply a device sends, built field by field from the
// encapsulation layout (independently of the program's parser).
std::vector<std::uint8_t> list_identity_reply(const identity& id);

class identity_device {
 public:
  identity_device(identity id, int replies_per_request = 1,
                  std::chrono::milliseconds delay = std::chrono::milliseconds(0));
  ~identity_device();
  identity_device(const identity_device&) = delete;
  identity_device& operator=(const identity_device&) = delete;

  bool listening() const noexcept { return listening_.load(); }
  int requests() const noexcept { return requests_.load(); }

 private:
  void serve();

  identity id_;
  int replies_;
  std::chrono::milliseconds delay_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> listening_{false};
  std::atomic<int> requests_{0};
  int fd_ = -1;
  std::thread thread_;
};

}  // namespace kvt::test
