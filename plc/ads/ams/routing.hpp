// Where the ADS library sends a request, and which Net ID it sends from.
//
// Route file (format in route_file.hpp): the file that KVT_ADS_ROUTES
// names; else $XDG_CONFIG_HOME/kestrel-connect/ads-routes (when that
// variable holds an absolute path), else $HOME/.config/kestrel-connect/
// ads-routes. It is read once per process, when an address is first needed
// (the first AdsGetLocalAddress or request); an edit takes effect in the
// next process. A missing file means no routes. Its complaints, and a file
// that exists but cannot be read, go to standard error once.
//
// Local Net ID, settled at the same moment: KVT_ADS_LOCAL_NET_ID, else the
// file's `local` line, else this machine's first non-loopback IPv4 address
// followed by ".1.1", else 127.0.0.1.1.1.
//
// Target host of a Net ID: its route's host and TCP port; without a route,
// the Net ID's first four bytes as an IPv4 address and the TCP port from
// KVT_ADS_TCP_PORT (read each time a target is looked up) or 48898.
#pragma once

#include <compare>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "plc/ads/ams/frames.hpp"
#include "plc/ads/ams/route_file.hpp"

namespace kvt::plc::ads::ams {

struct endpoint {
  std::string host;  // a host name or dotted IPv4 address
  std::uint16_t tcp_port = default_tcp_port;
  friend auto operator<=>(const endpoint&, const endpoint&) = default;
};

// The route file's path from the three variables (null when unset); empty
// when none of them gives one.
std::filesystem::path route_file_location(const char* routes, const char* config_home, const char* home);

// The local Net ID by the order above.
net_id choose_local_net_id(const std::optional<net_id>& setting, const std::optional<net_id>& from_file,
                           std::optional<std::uint32_t> interface_ipv4);

// The endpoint of `target` by the routes, else by its first four bytes.
endpoint choose_endpoint(const route_table& routes, const net_id& target, std::uint16_t default_port);

// This process's answers (the route file read on the first call of either).
net_id local_net_id();
endpoint endpoint_for(const net_id& target);

}  // namespace kvt::plc::ads::ams
