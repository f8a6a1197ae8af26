// A small JSON writer for replies and events: no whitespace, members
// separated by commas as they are added, strings always escaped.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kvt::server {

// Appends `text` as a JSON string body (without the quotes). Quote, backslash
// and every control character below 0x20 are escaped (\b \t \n \f \r, else
// \u00XX); well-formed UTF-8 sequences are copied unchanged, and every byte
// sequence that is not well-formed UTF-8 becomes U+FFFD, so that the text is
// always a valid WebSocket text frame (device names, file paths and library
// error texts come from outside and may hold anything).
void append_escaped(std::string& out, std::string_view text);

class json_writer {
 public:
  json_writer& begin_object();
  json_writer& end_object();
  json_writer& begin_array();
  json_writer& end_array();
  // The key of the next member of the current object.
  json_writer& key(std::string_view name);

  json_writer& string(std::string_view text);
  json_writer& number(std::int64_t value);
  json_writer& number(std::uint64_t value);
  json_writer& number(std::int32_t value) { return number(static_cast<std::int64_t>(value)); }
  json_writer& number(std::uint32_t value) { return number(static_cast<std::uint64_t>(value)); }
  json_writer& number(double value);
  json_writer& boolean(bool value);
  json_writer& null();

  const std::string& str() const noexcept { return out_; }
  std::string take() { return std::move(out_); }

 private:
  void before_value();

  std::string out_;
  // Per open object or array: members written so far. A key counts as the
  // member; its value follows without a comma.
  std::vector<std::uint32_t> counts_;
  bool after_key_ = false;
};

}  // namespace kvt::server
