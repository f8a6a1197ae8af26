// This machine's own network addresses.
#pragma once

#include <cstdint>
#include <optional>

namespace kvt::platform {

// The first IPv4 address, in host byte order, of an interface that is up and
// not a loopback one, in the order the system lists its interfaces; nullopt
// when there is none or the list cannot be read.
std::optional<std::uint32_t> first_non_loopback_ipv4() noexcept;

}  // namespace kvt::platform
