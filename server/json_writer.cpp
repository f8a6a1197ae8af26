#include "server/json_writer.hpp"

#include <charconv>
#include <cmath>

namespace kvt::server {

namespace {

constexpr std::string_view replacement_character = "\xEF\xBF\xBD";  // U+FFFD

// Length of the well-formed UTF-8 sequence at the start of `text`, or 0 when
// it is not one (stray continuation byte, overlong form, surrogate, beyond
// U+10FFFF, cut short). `bad` is then the number of bytes that one
// replacement character stands for: the lead byte and the continuation
// bytes that still fitted it.
std::size_t utf8_sequence(std::string_view text, std::size_t& bad) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(0);
  std::size_t length = 0;
  unsigned char low = 0x80;  // allowed range of the second byte
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;   // no overlong forms
    if (lead == 0xED) high = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;  // nothing beyond U+10FFFF
  } else {
    bad = 1;
    return 0;
  }
  for (std::size_t i = 1; i < length; ++i) {
    const bool fits = i < text.size() && byte(i) >= (i == 1 ? low : 0x80) && byte(i) <= (i == 1 ? high : 0xBF);
    if (!fits) {
      bad = i;
      return 0;
    }
  }
  return length;
}

}  // namespace

void append_escaped(std::string& out, std::string_view text) {
  static constexpr char hex[] = "0123456789abcdef";
  std::size_t i = 0;
  while (i < text.size()) {
    const char c = text[i];
    const auto u = static_cast<unsigned char>(c);
    if (u >= 0x80) {
      std::size_t bad = 0;
      const std::size_t length = utf8_sequence(text.substr(i), bad);
      if (length != 0) {
        out.append(text.substr(i, length));
        i += length;
      } else {
        out += replacement_character;
        i += bad;
      }
      continue;
    }
    ++i;
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
