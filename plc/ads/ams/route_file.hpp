// The ADS route file: which host answers for which AMS Net ID, and this
// machine's own Net ID. Parsing only: text in, routes and complaints out.
//
// Format, one entry per line:
//
//   # a comment: '#' starts one anywhere on a line; blank lines are ignored
//   local 192.168.10.5.1.1          this machine's Net ID
//   5.12.34.56.1.1  plc-line-3      a target Net ID and its host (name or IPv4)
//   5.12.34.57.1.1  10.0.0.7:48899  ... with a TCP port (default 48898)
//
// Fields are separated by spaces or tabs; a line may end in CR LF. A Net ID
// is six decimal numbers 0-255 joined by dots. A host is a name of letters,
// digits, '-', '_' and '.' (at most 253 characters) or a dotted IPv4
// address; IPv6 addresses are not taken. A port is decimal, 1-65535.
//
// A line that is none of these, a second `local` line and a second route
// for the same Net ID are malformed: each gives one complaint with its line
// number (counted from 1) and is skipped; the first `local` and the first
// route of a Net ID stay. Any text is accepted, NUL bytes included.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "plc/ads/ams/frames.hpp"

namespace kvt::plc::ads::ams {

struct route {
  net_id target{};
  std::string host;
  std::uint16_t tcp_port = default_tcp_port;
  friend bool operator==(const route&, const route&) = default;
};

struct route_complaint {
  std::size_t line = 0;
  std::string message;
  friend bool operator==(const route_complaint&, const route_complaint&) = default;
};

struct route_table {
  std::optional<net_id> local;
  std::vector<route> routes;  // in file order, one per Net ID
  std::vector<route_complaint> complaints;

  // The route for `target`, or null.
  const route* find(const net_id& target) const;
};

route_table parse_routes(std::string_view text);

}  // namespace kvt::plc::ads::ams
