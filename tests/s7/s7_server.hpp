// An S7 controller on loopback for tests: Snap7's own server half with
// process inputs, process outputs, markers and data blocks 1, 5 and 9
// registered by the test. It records every item it reads or writes (from its
// event callback), can impose a PDU length, and can be stopped (the
// controller goes away) and started again on the same port.
#pragma once

#include <snap7.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "support/record_log.hpp"

namespace kvt::test {

// One item the server served.
struct s7_item_event {
  bool write = false;
  int area = 0;       // 0x81 inputs, 0x82 outputs, 0x83 markers, 0x84 data block
  int db = 0;         // data block number (data blocks only)
  int start = 0;      // start byte
  int size = 0;       // bytes
  int result = 0;     // 0 when served
};

class s7_test_server {
 public:
  enum class area { inputs, outputs, markers, db1, db5, db9 };
  static constexpr std::size_t area_bytes = 8192;

  // `forced_pdu` 0 accepts the client's proposal; otherwise the server
  // answers every negotiation with that PDU length.
  explicit s7_test_server(int forced_pdu = 0);
  ~s7_test_server();
  s7_test_server(const s7_test_server&) = delete;
  s7_test_server& operator=(const s7_test_server&) = delete;

  std::uint16_t port() const noexcept { return port_; }
  void start();
  void stop();

  void set_bytes(area a, std::size_t offset, std::span<const std::uint8_t> bytes);
  std::vector<std::uint8_t> bytes(area a, std::size_t offset, std::size_t count) const;

  std::vector<s7_item_event> events() const { return events_.items(); }
  void clear_events() { events_.clear(); }

  // Called on the server's worker thread for every event it raises.
  void record(const TSrvEvent& event);

 private:
  std::vector<std::uint8_t>& storage(area a);

  std::uintptr_t server_ = 0;
  std::uint16_t port_ = 0;
  std::array<std::vector<std::uint8_t>, 6> areas_;
  record_log<s7_item_event> events_;
};

}  // namespace kvt::test
