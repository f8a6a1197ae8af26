// Which web pages may open a WebSocket to the command server. Browsers let
// any site connect to a local port, so an upgrade carrying the Origin of an
// unknown site is refused; clients that are not browsers send no Origin.
#pragma once

#include <string_view>

namespace kvt::server {

// True for an absent Origin, the web application's own HTTPS origins and
// origins on the loopback host (the development server, local test pages).
bool websocket_origin_allowed(std::string_view origin) noexcept;

}  // namespace kvt::server
