// The WebKit settings of the application's web view.
#pragma once

#include <webkit/webkit.h>

namespace kvt::browser {

// Settings for the web view: the user agent, developer tools in tools mode,
// and the engine preferences that keep the page running at full rate while
// the window is hidden or minimised.
WebKitSettings* make_web_settings(bool runner, bool tools);

}  // namespace kvt::browser
