#include "browser/url_parts.hpp"

#include <algorithm>
#include <cctype>

namespace kvt::browser {

namespace {

bool valid_scheme(std::string_view s) {
  if (s.empty() || std::isalpha(static_cast<unsigned char>(s[0])) == 0) return false;
  return std::all_of(s.begin(), s.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '+' || c == '-' || c == '.';
  });
}

}  // namespace

std::string url_parts::origin() const {
  std::string out = scheme + "://" + host;
  if (!port.empty()) out += ":" + port;
  return out;
}

std::optional<url_parts> parse_url(std::string_view text) {
  const auto colon = text.find(':');
  if (colon == std::string_view::npos || !valid_scheme(text.substr(0, colon))) return std::nullopt;
  if (std::any_of(text.begin(), text.end(),
                  [](char c) { return static_cast<unsigned char>(c) <= 0x20 || c == 0x7f; }))
    return std::nullopt;
  url_parts parts;
  parts.scheme.assign(text.substr(0, colon));
  std::transform(parts.scheme.begin(), parts.scheme.end(), parts.scheme.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  std::string_view rest = text.substr(colon + 1);
  if (const auto hash = rest.find('#'); hash != std::string_view::npos) rest = rest.substr(0, hash);
  if (const auto q = rest.find('?'); q != std::string_view::npos) {
    parts.query.assign(rest.substr(q + 1));
    parts.has_query = true;
    rest = rest.substr(0, q);
  }
  if (!rest.starts_with("//")) {  // no authority: about:, data:, mailto: ...
    parts.path.assign(rest);
    return parts;
  }
  rest.remove_prefix(2);
  const auto slash = rest.find('/');
  std::string_view authority = rest.substr(0, slash);
  if (slash != std::string_view::npos) parts.path.assign(rest.substr(slash));
  if (const auto at = authority.rfind('@'); at != std::string_view::npos) authority.remove_prefix(at + 1);
  std::string_view host = authority;
  std::string_view port;
  if (authority.starts_with('[')) {
    const auto close = authority.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    host = authority.substr(0, close + 1);
    std::string_view after = authority.substr(close + 1);
    if (!after.empty()) {
      if (after[0] != ':') return std::nullopt;
      port = after.substr(1);
    }
  } else if (const auto c = authority.rfind(':'); c != std::string_view::npos) {
    host = authority.substr(0, c);
    port = authority.substr(c + 1);
  }
  if (!std::all_of(port.begin(), port.end(), [](char ch) { return ch >= '0' && ch <= '9'; }) || port.size() > 5)
    return std::nullopt;
  parts.host.assign(host);
  parts.port.assign(port);
  return parts;
}

}  // namespace kvt::browser
