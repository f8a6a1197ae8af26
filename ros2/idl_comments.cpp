#include "ros2/idl_comments.hpp"

#include <optional>

namespace kvt::ros2 {

namespace {

constexpr std::string_view verbatim = "@verbatim";
constexpr std::string_view struct_keyword = "struct ";

bool is_identifier_char(char c) noexcept {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

bool is_space(char c) noexcept { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }

std::string_view trim(std::string_view s) {
  while (!s.empty() && is_space(s.front())) s.remove_prefix(1);
  while (!s.empty() && is_space(s.back())) s.remove_suffix(1);
  return s;
}

// Position after the string literal whose opening quote is at `at`.
std::size_t skip_literal(std::string_view text, std::size_t at) {
  std::size_t i = at + 1;
  while (i < text.size() && text[i] != '"') i += text[i] == '\\' ? 2 : 1;
  return i < text.size() ? i + 1 : text.size();
}

// Position after the annotation at `at`: a line end outside parentheses, or
// the ")" that closes its first parenthesis.
std::size_t skip_annotation(std::string_view text, std::size_t at) {
  std::size_t i = at + 1;
  int depth = 0;
  while (i < text.size()) {
    const char c = text[i];
    if (c == '"') {
      i = skip_literal(text, i);
      continue;
    }
    if (c == '(') ++depth;
    if (c == ')' && --depth <= 0) return i + 1;
    if (c == '\n' && depth == 0) return i + 1;
    ++i;
  }
  return text.size();
}

// The first "struct <name>" whose name is exactly `name` (not merely
// beginning with it).
std::size_t find_struct(std::string_view idl, std::string_view name) {
  std::size_t from = 0;
  while (true) {
    const std::size_t at = idl.find(struct_keyword, from);
    if (at == std::string_view::npos) return at;
    const std::size_t name_at = at + struct_keyword.size();
    const std::size_t after = name_at + name.size();
    if (idl.substr(name_at, name.size()) == name && (after == idl.size() || !is_identifier_char(idl[after])) &&
        (at == 0 || !is_identifier_char(idl[at - 1])))
      return at;
    from = at + 1;
  }
}

// True when only white space and annotations lie between `from` and `to`:
// the annotation that ended at `from` belongs to what starts at `to`.
bool only_annotations_between(std::string_view idl, std::size_t from, std::size_t to) {
  std::size_t i = from;
  while (i < to) {
    if (is_space(idl[i])) {
      ++i;
    } else if (idl[i] == '@') {
      i = skip_annotation(idl, i);
    } else {
      return false;
    }
  }
  return i == to;
}

// The matching "}" of the "{" at `open`, or npos.
std::size_t matching_brace(std::string_view idl, std::size_t open) {
  int depth = 0;
  for (std::size_t i = open; i < idl.size();) {
    const char c = idl[i];
    if (c == '"') {
      i = skip_literal(idl, i);
      continue;
    }
    if (c == '{') ++depth;
    if (c == '}' && --depth == 0) return i;
    ++i;
  }
  return std::string_view::npos;
}

// The member a declaration names, or empty for constants and the like.
std::string_view member_name(std::string_view declaration) {
  declaration = trim(declaration);
  if (declaration.starts_with("const ") || declaration.find('=') != std::string_view::npos) return {};
  if (declaration.ends_with(']')) {
    const std::size_t open = declaration.rfind('[');
    if (open != std::string_view::npos) declaration = trim(declaration.substr(0, open));
  }
  std::size_t start = declaration.size();
  while (start > 0 && is_identifier_char(declaration[start - 1])) --start;
  return declaration.substr(start);
}

}  // namespace

bool read_annotation_text(std::string_view idl, std::size_t at, std::string& text, std::size_t& end) {
  text.clear();
  const std::size_t key = idl.find("text", at);
  if (key == std::string_view::npos) return false;
  const std::size_t equals = idl.find('=', key + 4);
  if (equals == std::string_view::npos) return false;
  for (std::size_t i = equals + 1; i < idl.size(); ++i) {
    const char c = idl[i];
    if (c == ')') {
      end = i + 1;
      return true;
    }
    if (c != '"') continue;
    for (++i; i < idl.size() && idl[i] != '"'; ++i) {
      if (idl[i] != '\\') {
        text += idl[i];
        continue;
      }
      if (++i == idl.size()) return false;
      switch (idl[i]) {
        case 'n': text += '\n'; break;
        case 'r': text += '\r'; break;
        case 't': text += '\t'; break;
        default: text += idl[i];
      }
    }
    if (i == idl.size()) return false;
  }
  return false;
}

struct_comments read_struct_comments(std::string_view idl, std::string_view struct_name) {
  struct_comments out;
  const std::size_t at = find_struct(idl, struct_name);
  if (at == std::string_view::npos) return out;
  out.found = true;

  // The struct's comment: the last readable annotation before it that is
  // followed by nothing but annotations up to the keyword. A comment of an
  // earlier struct's member is not this struct's comment.
  std::string text;
  for (std::size_t v = idl.find(verbatim); v != std::string_view::npos && v < at; v = idl.find(verbatim, v + 1)) {
    std::size_t end = 0;
    if (read_annotation_text(idl, v, text, end) && end <= at && only_annotations_between(idl, end, at))
      out.comment = text;
  }

  const std::size_t open = idl.find('{', at);
  if (open == std::string_view::npos) return out;
  const std::size_t close = matching_brace(idl, open);
  if (close == std::string_view::npos) return out;
  const std::string_view body = idl.substr(0, close);

  std::optional<std::string> pending;
  std::size_t i = open + 1;
  while (i < body.size()) {
    if (is_space(body[i])) {
      ++i;
      continue;
    }
    if (body.substr(i).starts_with(verbatim)) {
      std::size_t end = 0;
      if (read_annotation_text(body, i, text, end)) {
        pending = text;
        i = end;
      } else {
        i = skip_annotation(body, i);
      }
      continue;
    }
    if (body[i] == '@') {
      i = skip_annotation(body, i);
      continue;
    }
    std::size_t semicolon = body.find(';', i);
    if (semicolon == std::string_view::npos) semicolon = body.size();
    const std::string_view name = member_name(body.substr(i, semicolon - i));
    if (!name.empty() && pending) out.members.insert_or_assign(std::string(name), *pending);
    pending.reset();
    i = semicolon + 1;
  }
  return out;
}

}  // namespace kvt::ros2
