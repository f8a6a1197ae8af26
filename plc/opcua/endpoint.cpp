#include "plc/opcua/endpoint.hpp"

#include <charconv>

namespace kvt::plc::opcua {

namespace {

constexpr std::string_view default_scheme = "opc.tcp://";
constexpr std::int32_t max_port = 65535;

bool all_digits(std::string_view s) {
  if (s.empty()) return false;
  for (const char c : s)
    if (c < '0' || c > '9') return false;
  return true;
}

bool valid_port_text(std::string_view s) {
  std::int32_t value = 0;
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
  return all_digits(s) && ec == std::errc{} && end == s.data() + s.size() && value >= 1 && value <= max_port;
}

}  // namespace

std::optional<std::string> endpoint_url(std::string_view host, std::int32_t port) {
  if (port == 0) port = default_port;
  if (port < 1 || port > max_port) return std::nullopt;

  std::string url;
  std::string_view rest = host;
  if (host.starts_with("opc.")) {
    const std::size_t sep = host.find("://");
    if (sep == std::string_view::npos) return std::nullopt;
    url.assign(host.substr(0, sep + 3));
    rest = host.substr(sep + 3);
  } else {
    url.assign(default_scheme);
  }

  // The authority ends where a path begins.
  const std::size_t slash = rest.find('/');
  const std::string_view authority = rest.substr(0, slash);
  const std::string_view path = slash == std::string_view::npos ? std::string_view{} : rest.substr(slash);
  if (authority.empty()) return std::nullopt;

  // An IPv6 literal is bracketed; its colons are not a port separator.
  std::string_view name = authority;
  std::string_view named_port;
  if (authority.front() == '[') {
    const std::size_t close = authority.find(']');
    if (close == std::string_view::npos || close == 1) return std::nullopt;
    name = authority.substr(0, close + 1);
    const std::string_view tail = authority.substr(close + 1);
    if (!tail.empty()) {
      if (tail.front() != ':') return std::nullopt;
      named_port = tail.substr(1);
      if (!valid_port_text(named_port)) return std::nullopt;
    }
  } else if (const std::size_t colon = authority.rfind(':'); colon != std::string_view::npos) {
    if (authority.find(':') != colon) {
      // A bare IPv6 address: bracket it and add the port.
      url += '[';
      url += authority;
      url += "]:";
      url += std::to_string(port);
      url += path;
      return url;
    }
    name = authority.substr(0, colon);
    named_port = authority.substr(colon + 1);
    if (name.empty() || !valid_port_text(named_port)) return std::nullopt;
  }

  url += name;
  url += ':';
  if (named_port.empty())
    url += std::to_string(port);
  else
    url += named_port;
  url += path;
  return url;
}

}  // namespace kvt::plc::opcua
