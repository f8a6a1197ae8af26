// The controller's address as the client library takes it: a dotted IPv4
// address of at most 15 characters. The library copies the host into a
// 16-byte field without terminating it, so a longer string must never reach
// it; host names are resolved here instead.
#pragma once

#include <optional>
#include <string>

namespace kvt::plc::s7 {

// The dotted IPv4 address of `host` (an address or a name), or nullopt.
std::optional<std::string> ipv4_address_of(const std::string& host);

}  // namespace kvt::plc::s7
