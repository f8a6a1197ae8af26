#include "platform/network_interfaces.hpp"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <cstring>

namespace kvt::platform {

std::optional<std::uint32_t> first_non_loopback_ipv4() noexcept {
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return std::nullopt;
  std::optional<std::uint32_t> found;
  for (const ifaddrs* i = list; i != nullptr && !found; i = i->ifa_next) {
    if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET) continue;
    if ((i->ifa_flags & IFF_UP) == 0 || (i->ifa_flags & IFF_LOOPBACK) != 0) continue;
    sockaddr_in address{};
    std::memcpy(&address, i->ifa_addr, sizeof address);
    const std::uint32_t ipv4 = ntohl(address.sin_addr.s_addr);
    if ((ipv4 >> 24) != 127) found = ipv4;
  }
  ::freeifaddrs(list);
  return found;
}

}  // namespace kvt::platform
