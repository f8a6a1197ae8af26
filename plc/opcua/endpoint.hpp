// The endpoint URL a connection opens, built from the "host" and "port"
// parameters.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kvt::plc::opcua {

inline constexpr std::int32_t default_port = 4840;

// "opc.tcp://" is put in front of a host without an "opc." scheme. A host
// that already names a port keeps it; otherwise `port` is added after the
// host name (before any path), 0 meaning 4840. An empty host name or a port
// outside 1 to 65535 gives nullopt.
std::optional<std::string> endpoint_url(std::string_view host, std::int32_t port);

}  // namespace kvt::plc::opcua
