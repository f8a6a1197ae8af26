// A wire tap between an S7 client and server on loopback that decodes each
// read and write request passing through it, so that a test can see how the
// items were split into requests and what each item addressed.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "support/record_log.hpp"
#include "support/tcp_relay.hpp"

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

  std::uint16_t port() const noexcept { return relay_.port(); }
  std::vector<wire_request> requests() const { return requests_.items(); }
  void clear() { requests_.clear(); }

 private:
  void record(std::span<const std::uint8_t> frame);

  record_log<wire_request> requests_;
  tcp_relay relay_;  // last: its thread stops before what it records into goes
};

}  // namespace kvt::test
