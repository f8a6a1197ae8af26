// Where the embedded browser may go. Pure decisions on URL text, so that the
// window's policy handler and the tests share one implementation.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kvt::browser {

struct policy_settings {
  bool dev = false;           // the loopback development server is trusted
  std::uint32_t port = 8084;  // the command server's port
};

enum class navigation_verdict { allow, cancel, open_externally };

struct navigation_decision {
  navigation_verdict verdict = navigation_verdict::cancel;
  std::string external_url;  // for open_externally
};

// The navigation policy for every frame: sign-in pages go to the system
// browser with "?connect=<port>" appended, hosts on the allow-list load in
// the window, everything else (and anything unparseable) is refused.
navigation_decision decide_navigation(std::string_view url, const policy_settings& settings);

// The start URL for the launch options: the development server with --dev,
// else staging with --staging, else production. A bare origin; the port and
// version are added when the root is requested (`add_start_query`).
std::string start_url(bool dev, bool staging);

// The start-URL query: a request for the root of the production or staging
// web app (or of the development server with --dev) gains "port=<port>" and
// "version=<version>" where the query lacks them. Returns the rewritten URL,
// or an empty string when the request stays as it is.
std::string add_start_query(std::string_view url, const policy_settings& settings);

// The sign-in paths handed to the system browser.
inline constexpr std::string_view sign_in_google_path = "/account/signin/google";
inline constexpr std::string_view sign_in_azure_path = "/account/signin/azure";
inline constexpr std::string_view connect_query = "?connect=";

}  // namespace kvt::browser
