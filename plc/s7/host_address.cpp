#include "plc/s7/host_address.hpp"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>
#include <memory>

namespace kvt::plc::s7 {

std::optional<std::string> ipv4_address_of(const std::string& host) {
  if (host.empty()) return std::nullopt;
  in_addr address{};
  if (inet_pton(AF_INET, host.c_str(), &address) != 1) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) return std::nullopt;
    const std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> owned(found, &freeaddrinfo);
    sockaddr_in first{};
    std::memcpy(&first, found->ai_addr, sizeof first);
    address = first.sin_addr;
  }
  char text[INET_ADDRSTRLEN] = {};
  if (inet_ntop(AF_INET, &address, text, sizeof text) == nullptr) return std::nullopt;
  return std::string(text);
}

}  // namespace kvt::plc::s7
