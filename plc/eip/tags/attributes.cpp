#include "plc/eip/tags/attributes.hpp"

#include <array>
#include <charconv>
#include <optional>

#include "plc/eip/tags/tag_path.hpp"

namespace kvt::plc::eip {

namespace {

char lower(char c) noexcept { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool equals_nocase(std::string_view a, std::string_view b) noexcept {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (lower(a[i]) != lower(b[i])) return false;
  return true;
}

bool ends_with_nocase(std::string_view s, std::string_view suffix) noexcept {
  return s.size() >= suffix.size() && equals_nocase(s.substr(s.size() - suffix.size()), suffix);
}

std::optional<plc_family> family_of(std::string_view plc) noexcept {
  struct alias {
    std::string_view name;
    plc_family family;
  };
  static constexpr std::array<alias, 13> aliases{{
      {"controllogix", plc_family::logix},
      {"compactlogix", plc_family::logix},
      {"logix", plc_family::logix},
      {"lgx", plc_family::logix},
      {"clgx", plc_family::logix},
      {"micro800", plc_family::micro800},
      {"micrologix800", plc_family::micro800},
      {"mlgx800", plc_family::micro800},
      {"omron-njnx", plc_family::omron_njnx},
      {"omron-nj", plc_family::omron_njnx},
      {"omron-nx", plc_family::omron_njnx},
      {"njnx", plc_family::omron_njnx},
      {"nx1p2", plc_family::omron_njnx},
  }};
  for (const alias& a : aliases)
    if (equals_nocase(plc, a.name)) return a.family;
  return std::nullopt;
}

bool parse_count(std::string_view s, std::uint32_t max, std::uint32_t& value) noexcept {
  if (s.empty() || s.size() > 10) return false;
  for (const char c : s)
    if (c < '0' || c > '9') return false;
  std::uint64_t v = 0;
  std::from_chars(s.data(), s.data() + s.size(), v);
  if (v < 1 || v > max) return false;
  value = static_cast<std::uint32_t>(v);
  return true;
}

// host or host:port; the host is a name or a dotted address without blanks.
bool parse_gateway(std::string_view text, std::string& host, std::uint16_t& port) {
  std::string_view h = text;
  port = default_eip_port;
  const std::size_t colon = text.rfind(':');
  if (colon != std::string_view::npos) {
    h = text.substr(0, colon);
    std::uint32_t p = 0;
    if (!parse_count(text.substr(colon + 1), 0xFFFF, p)) return false;
    port = static_cast<std::uint16_t>(p);
  }
  if (h.empty() || h.size() > 253) return false;
  for (const char c : h) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                    c == '-' || c == '_';
    if (!ok) return false;
  }
  host.assign(h);
  return true;
}

}  // namespace

outcome<tag_attributes> parse_attributes(std::string_view text) {
  std::optional<std::string_view> protocol, gateway, path, plc, elem_size, elem_count, name;
  std::size_t i = 0;
  while (i <= text.size()) {
    const std::size_t amp = text.find('&', i);
    const std::size_t end = amp == std::string_view::npos ? text.size() : amp;
    const std::string_view part = text.substr(i, end - i);
    i = end + 1;
    if (part.empty()) continue;  // "a=1&&b=2" or a trailing "&"
    const std::size_t eq = part.find('=');
    if (eq == std::string_view::npos || eq == 0) return {.error = err_bad_param};
    const std::string_view key = part.substr(0, eq);
    const std::string_view value = part.substr(eq + 1);
    if (equals_nocase(key, "protocol")) protocol = value;
    else if (equals_nocase(key, "gateway")) gateway = value;
    else if (equals_nocase(key, "path")) path = value;
    else if (equals_nocase(key, "plc") || equals_nocase(key, "cpu")) plc = value;
    else if (equals_nocase(key, "elem_size")) elem_size = value;
    else if (equals_nocase(key, "elem_count")) elem_count = value;
    else if (equals_nocase(key, "name")) name = value;
  }

  outcome<tag_attributes> result;
  tag_attributes& a = result.value;
  if (!protocol || !(equals_nocase(*protocol, "ab-eip") || equals_nocase(*protocol, "ab_eip")))
    return {.error = err_bad_config};
  if (!plc) return {.error = err_bad_config};
  const auto family = family_of(*plc);
  if (!family) return {.error = err_bad_config};
  a.family = *family;
  if (!gateway || !name) return {.error = err_bad_config};
  if (!parse_gateway(*gateway, a.host, a.port)) return {.error = err_bad_param};

  if (path) {
    a.route_text.assign(*path);
    if (encode_route_path(*path, a.route) != status_ok) return {.error = err_bad_param};
  }
  // Logix and Omron controllers are reached through the backplane: the
  // route to the CPU is part of the configuration.
  if (a.route.empty() && a.family != plc_family::micro800) return {.error = err_bad_config};

  if (elem_size && !parse_count(*elem_size, max_elem_size, a.elem_size)) return {.error = err_bad_param};
  if (elem_count && !parse_count(*elem_count, max_elem_count, a.elem_count)) return {.error = err_bad_param};

  a.name.assign(*name);
  if (equals_nocase(*name, "@raw")) {
    a.kind = tag_kind::raw;
  } else if (equals_nocase(*name, "@tags")) {
    a.kind = tag_kind::listing;
  } else if (ends_with_nocase(*name, ".@tags")) {
    a.kind = tag_kind::listing;
    const std::string_view scope = name->substr(0, name->size() - 6);
    if (encode_tag_path(scope, a.path) != status_ok) return {.error = err_bad_param};
    // A program scope is one symbol.
    if (a.path.size() != 2 + scope.size() + scope.size() % 2) return {.error = err_bad_param};
  } else if (encode_tag_path(*name, a.path) != status_ok) {
    return {.error = err_bad_param};
  }
  return result;
}

}  // namespace kvt::plc::eip
