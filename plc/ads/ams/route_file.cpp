#include "plc/ads/ams/route_file.hpp"

#include <algorithm>
#include <charconv>
#include <map>

namespace kvt::plc::ads::ams {
namespace {

constexpr std::size_t max_host_length = 253;
constexpr std::size_t max_quoted = 40;

// A field as it may appear in a complaint: printable ASCII only, shortened.
std::string quoted(std::string_view field) {
  std::string out = "'";
  for (std::size_t i = 0; i < field.size() && i < max_quoted; ++i) {
    const char c = field[i];
    out += (c >= 0x20 && c < 0x7F) ? c : '?';
  }
  if (field.size() > max_quoted) out += "...";
  return out + "'";
}

std::vector<std::string_view> fields_of(std::string_view line) {
  std::vector<std::string_view> fields;
  std::size_t at = 0;
  while (at < line.size()) {
    while (at < line.size() && (line[at] == ' ' || line[at] == '\t')) ++at;
    const std::size_t start = at;
    while (at < line.size() && line[at] != ' ' && line[at] != '\t') ++at;
    if (at > start) fields.push_back(line.substr(start, at - start));
  }
  return fields;
}

bool host_char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
         c == '.';
}

std::optional<std::uint16_t> parse_port(std::string_view text) {
  unsigned value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc{} || end != text.data() + text.size() || value == 0 || value > 65535) return std::nullopt;
  return static_cast<std::uint16_t>(value);
}

// "<host>[:<port>]" into `r`; the complaint when it is not one.
std::optional<std::string> parse_host(std::string_view text, route& r) {
  std::string_view host = text;
  if (const auto colon = text.find(':'); colon != std::string_view::npos) {
    host = text.substr(0, colon);
    const auto port = parse_port(text.substr(colon + 1));
    if (!port) return "not a TCP port (1-65535): " + quoted(text.substr(colon + 1));
    r.tcp_port = *port;
  }
  if (host.empty() || host.size() > max_host_length || !std::all_of(host.begin(), host.end(), host_char))
    return "not a host name or IPv4 address: " + quoted(host);
  r.host = std::string(host);
  return std::nullopt;
}

}  // namespace

const route* route_table::find(const net_id& target) const {
  const auto it = std::find_if(routes.begin(), routes.end(), [&](const route& r) { return r.target == target; });
  return it == routes.end() ? nullptr : &*it;
}

route_table parse_routes(std::string_view text) {
  route_table table;
  std::size_t local_line = 0;
  std::map<net_id, std::size_t> route_lines;  // Net ID -> its route's line
  std::size_t number = 0;
  while (!text.empty()) {
    ++number;
    const auto newline = text.find('\n');
    std::string_view line = text.substr(0, newline);
    text.remove_prefix(newline == std::string_view::npos ? text.size() : newline + 1);
    line = line.substr(0, line.find('#'));
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    const auto fields = fields_of(line);
    if (fields.empty()) continue;

    const auto complain = [&](std::string message) { table.complaints.push_back({number, std::move(message)}); };
    if (fields.size() != 2) {
      complain("expected 'local <Net ID>' or '<Net ID> <host>[:<port>]'");
      continue;
    }
    if (fields[0] == "local") {
      const auto id = parse_net_id(fields[1]);
      if (!id) {
        complain("not a Net ID: " + quoted(fields[1]));
      } else if (table.local) {
        complain("a second 'local' line (the one on line " + std::to_string(local_line) + " stays)");
      } else {
        table.local = id;
        local_line = number;
      }
      continue;
    }
    route r;
    const auto id = parse_net_id(fields[0]);
    if (!id) {
      complain("not a Net ID: " + quoted(fields[0]));
      continue;
    }
    r.target = *id;
    if (auto problem = parse_host(fields[1], r)) {
      complain(std::move(*problem));
      continue;
    }
    if (const auto [at, added] = route_lines.emplace(r.target, number); !added) {
      complain("a second route for " + quoted(fields[0]) + " (the one on line " + std::to_string(at->second) +
               " stays)");
      continue;
    }
    table.routes.push_back(std::move(r));
  }
  return table;
}

}  // namespace kvt::plc::ads::ams
