#include "server/origin_policy.hpp"

#include <array>

#include "app/deployment.hpp"

namespace kvt::server {

namespace {

constexpr std::string_view https = "https://";
constexpr std::string_view http = "http://";

// The host of "scheme://host[:port]" after the scheme, without the port.
std::string_view host_of(std::string_view rest) noexcept {
  if (rest.starts_with('[')) {  // IPv6 literal
    const auto end = rest.find(']');
    return end == std::string_view::npos ? std::string_view{} : rest.substr(0, end + 1);
  }
  return rest.substr(0, rest.find(':'));
}

bool is_loopback(std::string_view host) noexcept {
  return host == deployment::loopback_host || host == "127.0.0.1" || host == "[::1]";
}

}  // namespace

bool websocket_origin_allowed(std::string_view origin) noexcept {
  if (origin.empty()) return true;
  if (origin.find('/', origin.find("://") + 3) != std::string_view::npos) return false;  // an origin has no path
  if (origin.starts_with(http)) return is_loopback(host_of(origin.substr(http.size())));
  if (!origin.starts_with(https)) return false;
  const std::string_view host = host_of(origin.substr(https.size()));
  const std::array<std::string_view, 5> web_app_hosts{deployment::production_host, deployment::staging_host,
                                                      deployment::simulation_host, deployment::play_host,
                                                      deployment::product_domain};
  for (const auto& h : web_app_hosts)
    if (host == h) return true;
  return is_loopback(host);
}

}  // namespace kvt::server
