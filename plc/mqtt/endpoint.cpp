#include "plc/mqtt/endpoint.hpp"

#include <unistd.h>

namespace kvt::plc::mqtt {

namespace {

bool equals_ignoring_case(std::string_view a, std::string_view b) noexcept {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const char x = (a[i] >= 'A' && a[i] <= 'Z') ? static_cast<char>(a[i] - 'A' + 'a') : a[i];
    if (x != b[i]) return false;
  }
  return true;
}

}  // namespace

std::optional<endpoint> make_endpoint(std::string_view host, std::int32_t port) {
  bool tls_scheme = false;
  if (const auto sep = host.find("://"); sep != std::string_view::npos) {
    const std::string_view scheme = host.substr(0, sep);
    tls_scheme = equals_ignoring_case(scheme, "mqtts") || equals_ignoring_case(scheme, "ssl");
    host.remove_prefix(sep + 3);
  }
  if (host.empty() || port < 0 || port > 65'535) return std::nullopt;
  if (port == 0) port = tls_scheme ? default_tls_port : default_port;

  endpoint e;
  e.tls = tls_scheme || port == 8883 || port == 8884 || port == 8885;
  e.uri = e.tls ? "ssl://" : "tcp://";
  const bool ipv6 = host.find(':') != std::string_view::npos && host.front() != '[';
  if (ipv6) e.uri += '[';
  e.uri += host;
  if (ipv6) e.uri += ']';
  e.uri += ':';
  e.uri += std::to_string(port);
  return e;
}

std::string make_client_id(std::uint32_t driver_number) {
  std::string id = "KESTREL_" + std::to_string(static_cast<long long>(::getpid()));
  if (driver_number != 0) id += '_' + std::to_string(driver_number);
  return id;
}

}  // namespace kvt::plc::mqtt
