// The page shown in place of the web app when it cannot be loaded: the
// program's name and icon, what failed in plain words, the address that was
// tried and a "Try again" link to it. Self-contained HTML (styles and the
// icon inline, no scripts), built from resources/error_page.html.
#pragma once

#include <string>
#include <string_view>

#include "browser/load_error_text.hpp"

namespace kvt::browser {

struct load_error_content {
  load_failure failure = load_failure::other;
  std::string address;    // the URI whose load failed
  std::string technical;  // the network layer's own message, shown small
  bool dev = false;       // started with --dev: say where the development server is expected
};

std::string load_error_page(const load_error_content& content);

// Text made safe inside HTML elements and quoted attribute values.
std::string html_escape(std::string_view text);

}  // namespace kvt::browser
