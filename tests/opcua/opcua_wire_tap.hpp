// A wire tap between an OPC UA client and server on loopback that records
// every Read, Write, Browse and BrowseNext service request passing through
// it, with the number of nodes (continuation points for BrowseNext) each
// carried, so that a test can count service calls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "support/record_log.hpp"
#include "support/tcp_relay.hpp"

namespace kvt::test {

struct ua_request {
  enum class service { read, write, browse, browse_next };
  service kind = service::read;
  std::size_t nodes = 0;  // nodes to read, write or browse; continuation points
  bool release = false;   // BrowseNext: releases its continuation points
};

class opcua_wire_tap {
 public:
  explicit opcua_wire_tap(std::uint16_t server_port);

  std::uint16_t port() const noexcept { return relay_.port(); }
  std::vector<ua_request> requests() const { return requests_.items(); }
  std::size_t count(ua_request::service kind) const;
  void clear() { requests_.clear(); }

 private:
  // `inside_message` belongs to the connection: a chunked message is under way.
  void record(std::span<const std::uint8_t> chunk, bool& inside_message);

  record_log<ua_request> requests_;
  tcp_relay relay_;  // last: its thread stops before what it records into goes
};

}  // namespace kvt::test
