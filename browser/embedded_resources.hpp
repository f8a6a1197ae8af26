// Files of browser/resources/ built into the program (the build writes their
// bytes into a generated source file), so that pages the program makes itself
// need nothing from outside.
#pragma once

#include <span>
#include <string_view>

namespace kvt::browser::resources {

// resources/error_page.html: the page shown when the web app cannot be loaded.
extern const std::string_view error_page_template;

// resources/kestrel-connect.png: the application icon.
extern const std::span<const unsigned char> program_icon_png;

}  // namespace kvt::browser::resources
