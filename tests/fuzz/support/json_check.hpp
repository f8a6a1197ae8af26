// Whether a text the program sends to the page is one valid JSON document in
// valid UTF-8, read by simdjson's validating DOM parser.
#pragma once

#include <simdjson.h>

#include <string>
#include <string_view>

namespace kvt::fuzz {

// Parses `text`; on failure returns false and leaves the reason in `why`.
// On success `out` is the document's root (valid until the next call).
inline bool parse_json(std::string_view text, simdjson::dom::element& out, std::string& why) {
  static simdjson::dom::parser parser;
  const simdjson::error_code e = parser.parse(text.data(), text.size()).get(out);
  if (e != simdjson::SUCCESS) {
    why = simdjson::error_message(e);
    return false;
  }
  return true;
}

// The text as a printable line for failure messages: bytes outside ASCII
// and control characters as \xNN.
inline std::string printable(std::string_view text) {
  static constexpr char hex[] = "0123456789ABCDEF";
  std::string out;
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (u >= 0x20 && u < 0x7F) {
      out += c;
    } else {
      out += "\\x";
      out += hex[u >> 4];
      out += hex[u & 0xF];
    }
  }
  return out;
}

}  // namespace kvt::fuzz
