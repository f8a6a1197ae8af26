#include "plc/ads/ams/routing.hpp"

#include <cstdlib>
#include <iostream>
#include <system_error>

#include "platform/install_layout.hpp"
#include "platform/network_interfaces.hpp"
#include "platform/regular_file.hpp"

namespace kvt::plc::ads::ams {
namespace {

// A route file is a few lines; anything this large is not one.
constexpr std::uint64_t max_route_file = 1U << 20;

std::string dotted(std::uint32_t ipv4) {
  return std::to_string(ipv4 >> 24) + '.' + std::to_string((ipv4 >> 16) & 0xFF) + '.' +
         std::to_string((ipv4 >> 8) & 0xFF) + '.' + std::to_string(ipv4 & 0xFF);
}

std::uint16_t tcp_port_setting() {
  if (const char* text = std::getenv("KVT_ADS_TCP_PORT")) {
    char* end = nullptr;
    const unsigned long v = std::strtoul(text, &end, 10);
    if (end != text && *end == '\0' && v > 0 && v <= 65535) return static_cast<std::uint16_t>(v);
  }
  return default_tcp_port;
}

// The file's routes; complaints and read failures on standard error.
route_table read_route_file(const std::filesystem::path& path) {
  if (path.empty()) return {};
  platform::regular_file file;
  if (!file.open(path)) {
    std::error_code ec;
    if (std::filesystem::exists(path, ec) || ec)
      std::cerr << "ADS routes: cannot read " << path.string() << ", going without routes\n";
    return {};
  }
  if (file.size() > max_route_file) {
    std::cerr << "ADS routes: " << path.string() << " is over 1 MiB, going without routes\n";
    return {};
  }
  std::string text(static_cast<std::size_t>(file.size()), '\0');
  if (!file.read_exact(text.data(), text.size())) {
    std::cerr << "ADS routes: cannot read " << path.string() << ", going without routes\n";
    return {};
  }
  route_table routes = parse_routes(text);
  for (const auto& c : routes.complaints)
    std::cerr << "ADS routes: " << path.string() << " line " << c.line << ": " << c.message << ", line skipped\n";
  return routes;
}

struct settings {
  route_table routes;
  net_id local{};
};

const settings& process_settings() {
  static const settings s = [] {
    settings made;
    made.routes = read_route_file(
        route_file_location(std::getenv("KVT_ADS_ROUTES"), std::getenv("XDG_CONFIG_HOME"), std::getenv("HOME")));
    std::optional<net_id> setting;
    if (const char* text = std::getenv("KVT_ADS_LOCAL_NET_ID")) {
      setting = parse_net_id(text);
      if (!setting) std::cerr << "ADS: KVT_ADS_LOCAL_NET_ID is not a Net ID, ignored\n";
    }
    made.local = choose_local_net_id(setting, made.routes.local,
                                     setting || made.routes.local ? std::nullopt
                                                                  : platform::first_non_loopback_ipv4());
    return made;
  }();
  return s;
}

}  // namespace

std::filesystem::path route_file_location(const char* routes, const char* config_home, const char* home) {
  constexpr const char* file_name = "ads-routes";
  if (routes != nullptr && *routes != '\0') return routes;
  // Relative values of XDG_CONFIG_HOME are to be ignored.
  if (config_home != nullptr && *config_home == '/')
    return std::filesystem::path(config_home) / install_layout::program_folder / file_name;
  if (home != nullptr && *home != '\0')
    return std::filesystem::path(home) / ".config" / install_layout::program_folder / file_name;
  return {};
}

net_id choose_local_net_id(const std::optional<net_id>& setting, const std::optional<net_id>& from_file,
                           std::optional<std::uint32_t> interface_ipv4) {
  if (setting) return *setting;
  if (from_file) return *from_file;
  if (interface_ipv4) {
    const std::uint32_t a = *interface_ipv4;
    return {static_cast<std::uint8_t>(a >> 24), static_cast<std::uint8_t>(a >> 16), static_cast<std::uint8_t>(a >> 8),
            static_cast<std::uint8_t>(a), 1, 1};
  }
  return {127, 0, 0, 1, 1, 1};
}

endpoint choose_endpoint(const route_table& routes, const net_id& target, std::uint16_t default_port) {
  if (const route* r = routes.find(target)) return {r->host, r->tcp_port};
  const std::uint32_t ipv4 = (static_cast<std::uint32_t>(target[0]) << 24) |
                             (static_cast<std::uint32_t>(target[1]) << 16) |
                             (static_cast<std::uint32_t>(target[2]) << 8) | target[3];
  return {dotted(ipv4), default_port};
}

net_id local_net_id() { return process_settings().local; }

endpoint endpoint_for(const net_id& target) {
  return choose_endpoint(process_settings().routes, target, tcp_port_setting());
}

}  // namespace kvt::plc::ads::ams
