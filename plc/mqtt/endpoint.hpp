// Where the driver connects: the broker's server URI, whether TLS is used,
// and the client identifier it presents.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kvt::plc::mqtt {

inline constexpr std::int32_t default_port = 1883;
inline constexpr std::int32_t default_tls_port = 8883;

struct endpoint {
  std::string uri;  // "ssl://host:port" or "tcp://host:port"
  bool tls = false;
};

// TLS when the host names the "mqtts://" or "ssl://" scheme, or the port is
// one of the secure MQTT ports 8883 to 8885. Any scheme prefix is replaced;
// an IPv6 address is put in brackets; port 0 means the scheme's default port.
// Nullopt for an empty host or a port outside 0 to 65535.
std::optional<endpoint> make_endpoint(std::string_view host, std::int32_t port);

// "KESTREL_" and the process id; later drivers of the same process add
// "_<n>", so that two connections to one broker do not push each other off.
std::string make_client_id(std::uint32_t driver_number);

}  // namespace kvt::plc::mqtt
