// A simulated EtherNet/IP device in the test network: it answers List
// Identity requests on UDP port 44818 with its identity, after an optional
// delay and as many times as asked; it can also keep answering on its own,
// at a steady pace or as fast as it can send.
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

// How the device answers a request.
struct answering {
  int replies = 1;                              // replies sent for each request
  std::chrono::milliseconds delay{0};           // before the first of them
  bool empty_datagram_first = false;            // a zero-length datagram before the replies
  // After answering, keep sending the reply to every requester so far this
  // often (zero: as fast as the socket takes them) for `repeat_for` after the
  // latest request.
  std::chrono::microseconds repeat_every{0};
  std::chrono::milliseconds repeat_for{0};      // zero: no repeating
};

// The List Identity reply a device sends, built field by field from the
// encapsulation layout (independently of the program's parser).
std::vector<std::uint8_t> list_identity_reply(const identity& id);

class identity_device {
 public:
  explicit identity_device(identity id, answering how = {});
  ~identity_device();
  identity_device(const identity_device&) = delete;
  identity_device& operator=(const identity_device&) = delete;

  bool listening() const noexcept { return listening_.load(); }
  int requests() const noexcept { return requests_.load(); }
  // Replies sent so far, repeated ones included.
  std::int64_t replies_sent() const noexcept { return sent_.load(); }

 private:
  void serve();

  identity id_;
  answering how_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> listening_{false};
  std::atomic<int> requests_{0};
  std::atomic<std::int64_t> sent_{0};
  int fd_ = -1;
  std::thread thread_;
};

}  // namespace kvt::test
