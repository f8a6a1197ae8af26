#include "server/json_writer.hpp"

#include <charconv>
#include <cmath>

namespace kvt::server {

void append_escaped(std::string& out, std::string_view text) {
  static constexpr char hex[] = "0123456789abcdef";
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\f': out += "\\f"; break;
      case '\r': out += "\\r"; break;
      default:
        if (u < 0x20) {
          out += "\\u00";
          out += hex[u >> 4];
          out += hex[u & 0xF];
        } else {
          out += c;
        }
    }
  }
}

void json_writer::before_value() {
  if (after_key_) {
    after_key_ = false;
    return;
  }
  if (!counts_.empty() && counts_.back()++ != 0) out_ += ',';
}

json_writer& json_writer::begin_object() {
  before_value();
  out_ += '{';
  counts_.push_back(0);
  return *this;
}

json_writer& json_writer::end_object() {
  out_ += '}';
  counts_.pop_back();
  return *this;
}

json_writer& json_writer::begin_array() {
  before_value();
  out_ += '[';
  counts_.push_back(0);
  return *this;
}

json_writer& json_writer::end_array() {
  out_ += ']';
  counts_.pop_back();
  return *this;
}

json_writer& json_writer::key(std::string_view name) {
  before_value();
  out_ += '"';
  append_escaped(out_, name);
  out_ += "\":";
  after_key_ = true;
  return *this;
}

json_writer& json_writer::string(std::string_view text) {
  before_value();
  out_ += '"';
  append_escaped(out_, text);
  out_ += '"';
  return *this;
}

json_writer& json_writer::number(std::int64_t value) {
  before_value();
  char buf[24];
  const auto r = std::to_chars(buf, buf + sizeof buf, value);
  out_.append(buf, r.ptr);
  return *this;
}

json_writer& json_writer::number(std::uint64_t value) {
  before_value();
  char buf[24];
  const auto r = std::to_chars(buf, buf + sizeof buf, value);
  out_.append(buf, r.ptr);
  return *this;
}

json_writer& json_writer::number(double value) {
  if (!std::isfinite(value)) return null();  // JSON has no NaN or infinity
  before_value();
  char buf[32];
  const auto r = std::to_chars(buf, buf + sizeof buf, value);
  out_.append(buf, r.ptr);
  return *this;
}

json_writer& json_writer::boolean(bool value) {
  before_value();
  out_ += value ? "true" : "false";
  return *this;
}

json_writer& json_writer::null() {
  before_value();
  out_ += "null";
  return *this;
}

}  // namespace kvt::server
