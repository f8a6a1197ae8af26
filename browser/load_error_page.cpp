#include "browser/load_error_page.hpp"

#include <glib.h>

#include <array>
#include <utility>

#include "app/deployment.hpp"
#include "browser/embedded_resources.hpp"
#include "browser/gobject_ptr.hpp"
#include "browser/window_geometry.hpp"

namespace kvt::browser {

namespace {

const std::string& icon_data_url() {
  static const std::string url = [] {
    const auto& png = resources::program_icon_png;
    gchar_ptr encoded(g_base64_encode(png.data(), png.size()));
    return "data:image/png;base64," + std::string(encoded.get());
  }();
  return url;
}

// Replaces each "{{name}}" of the template with its value, in one pass, so
// that text inside a value is never taken for a placeholder. Unknown names
// are left out.
template <std::size_t N>
std::string fill(std::string_view text, const std::array<std::pair<std::string_view, std::string>, N>& values) {
  std::string out;
  out.reserve(text.size() + 4096);
  for (std::size_t at = 0;;) {
    const std::size_t open = text.find("{{", at);
    const std::size_t close = open == std::string_view::npos ? open : text.find("}}", open + 2);
    if (close == std::string_view::npos) {
      out.append(text.substr(at));
      return out;
    }
    out.append(text.substr(at, open - at));
    const std::string_view name = text.substr(open + 2, close - open - 2);
    for (const auto& [key, value] : values)
      if (key == name) out.append(value);
    at = close + 2;
  }
}

}  // namespace

std::string html_escape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default: out += c;
    }
  }
  return out;
}

std::string load_error_page(const load_error_content& content) {
  const load_failure_words words = describe(content.failure);
  std::string dev_hint;
  if (content.dev)
    dev_hint = "<p id=\"dev-hint\">Started with --dev: the development server is expected at <code>" +
               html_escape(deployment::dev_server_origin) + "</code>. Once it runs, the window loads it by itself.</p>";
  const std::array<std::pair<std::string_view, std::string>, 7> values = {{
      {"program", html_escape(window_title)},
      {"icon", icon_data_url()},
      {"headline", html_escape(words.headline)},
      {"detail", html_escape(words.detail)},
      {"address", html_escape(content.address)},
      {"technical", html_escape(content.technical)},
      {"dev_hint", dev_hint},
  }};
  return fill(resources::error_page_template, values);
}

}  // namespace kvt::browser
