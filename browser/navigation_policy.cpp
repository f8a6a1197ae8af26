#include "browser/navigation_policy.hpp"

#include <array>

#include "browser/url_parts.hpp"
#include "app/deployment.hpp"

namespace kvt::browser {

namespace {

// Chromium's internal GPU page; kept on the list so that a page linking to it
// behaves as it always has.
constexpr std::string_view gpu_host = "gpu";

bool is_loopback_dev(std::string_view host, const policy_settings& s) {
  return s.dev && host == deployment::loopback_host;
}

}  // namespace

navigation_decision decide_navigation(std::string_view url, const policy_settings& settings) {
  navigation_decision d;
  const auto parts = parse_url(url);
  if (!parts) return d;
  const std::string_view host = parts->host;

  if ((host == deployment::product_domain || is_loopback_dev(host, settings)) &&
      (parts->path == sign_in_google_path || parts->path == sign_in_azure_path)) {
    d.verdict = navigation_verdict::open_externally;
    d.external_url.assign(url);
    d.external_url.append(connect_query);
    d.external_url.append(std::to_string(settings.port));
    return d;
  }

  const std::array<std::string_view, 7> allowed = {
      deployment::production_host, deployment::staging_host, deployment::simulation_host, deployment::play_host,
      deployment::product_domain,  deployment::cad_sign_in_host, gpu_host};
  for (std::string_view a : allowed)
    if (!host.empty() && host == a) d.verdict = navigation_verdict::allow;
  if (is_loopback_dev(host, settings)) d.verdict = navigation_verdict::allow;
  return d;
}

std::string start_url(bool dev, bool staging) {
  if (dev) return std::string(deployment::dev_server_origin);
  if (staging) return "https://" + std::string(deployment::staging_host);
  return "https://" + std::string(deployment::production_host);
}

std::string add_start_query(std::string_view url, const policy_settings& settings) {
  const auto parts = parse_url(url);
  if (!parts) return {};
  const std::string_view host = parts->host;
  const bool web_app = host == deployment::production_host || host == deployment::staging_host ||
                       is_loopback_dev(host, settings);
  if (!web_app || !(parts->path.empty() || parts->path == "/")) return {};
  std::string query = parts->query;
  bool changed = false;
  auto append = [&](std::string_view key, std::string_view value) {
    if (query.find(key) != std::string::npos) return;
    if (!query.empty()) query += '&';
    query.append(key).append(value);
    changed = true;
  };
  append("port=", std::to_string(settings.port));
  append("version=", deployment::version);
  if (!changed) return {};
  return parts->origin() + "/?" + query;
}

}  // namespace kvt::browser
