// The parts of an absolute URL that the browser policies look at.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kvt::browser {

struct url_parts {
  std::string scheme;  // lower case, without ":"
  std::string host;    // as written (IPv6 literals keep their brackets)
  std::string port;    // digits, empty when absent
  std::string path;    // from the first "/" after the authority, empty when absent
  std::string query;   // without "?"; empty when absent
  bool has_query = false;
  std::string origin() const;  // scheme://host[:port]
};

// Splits "scheme://[user@]host[:port][/path][?query][#fragment]" and the
// host-less forms ("about:blank", "data:..."), whose host is empty. Nothing
// for text that is not an absolute URL.
std::optional<url_parts> parse_url(std::string_view text);

}  // namespace kvt::browser
