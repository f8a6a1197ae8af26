// A raw TCP client for the MELSEC simulator's tests: sends 3E binary
// request frames built here and reads whole response frames back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "support/loopback_client.hpp"

namespace kvt::test::melsec_wire {

using bytes = std::vector<std::uint8_t>;

// Routing fields of a request to the CPU itself: network 0, PC 0xFF,
// module I/O 0x03FF, station 0.
inline const bytes own_cpu = {0x00, 0xFF, 0xFF, 0x03, 0x00};

// A request frame: subheader, `routing`, request data length, monitoring
// timer 0x0010, then `body` (command, subcommand, request data).
inline bytes request(const bytes& body, const bytes& routing = own_cpu) {
  bytes b{0x50, 0x00};
  b.insert(b.end(), routing.begin(), routing.end());
  const std::size_t length = 2 + body.size();
  b.push_back(static_cast<std::uint8_t>(length));
  b.push_back(static_cast<std::uint8_t>(length >> 8));
  b.push_back(0x10);
  b.push_back(0x00);
  b.insert(b.end(), body.begin(), body.end());
  return b;
}

// The loopback client with whole 3E response frames.
class wire : public loopback_client {
 public:
  using loopback_client::loopback_client;

  // One whole response frame as its response data length announces it.
  bytes frame() {
    bytes head = receive(9);
    if (head.size() < 9) return head;
    bytes rest = receive(static_cast<std::size_t>(head[7] | head[8] << 8));
    head.insert(head.end(), rest.begin(), rest.end());
    return head;
  }
  bytes exchange(const bytes& request_frame) {
    if (!send(request_frame)) return {};
    return frame();
  }
};

}  // namespace kvt::test::melsec_wire
