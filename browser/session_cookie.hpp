// The web app's session after a sign-in in the system browser: the command
// server receives the token on its sign-in callback and the embedded browser
// gets it as the "auth_session" cookie; signing out removes it.
#pragma once

#include <webkit/webkit.h>

#include <string>

#include "app/launch_options.hpp"

namespace kvt::browser {

inline constexpr const char* session_cookie_name = "auth_session";
inline constexpr int session_cookie_lifetime_s = 14 * 24 * 60 * 60;  // 1,209,600

// Hands the sign-in callbacks of the command server to the UI thread. Call
// once before the server thread starts.
void route_sign_in_to_browser();

// The window's view, while it exists: the sign-in work does nothing without
// one. UI thread only.
void set_session_view(WebKitWebView* view, const launch_options_record* options);

// The cookie's domain: the loopback host with --dev, else the production
// site's registrable domain as a domain cookie (every subdomain sees it).
std::string session_cookie_domain(bool dev);

// The page loaded once the cookie is in place.
std::string page_after_sign_in(bool dev, bool staging);

}  // namespace kvt::browser
