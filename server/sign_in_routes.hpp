// The sign-in callbacks: "/auth-callback" installs the session token in the
// embedded browser, "/signout" removes it. The browser side registers what
// to do; the server thread only decides when and answers with a page.
#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace kvt::server {

struct sign_in_actions {
  // Called on the server thread; implementations hand the work to the UI thread.
  std::function<void(const std::string& token)> install_token;
  std::function<void()> remove_token;
};

// Replaces the actions (the browser host sets them once at start-up, before
// the server thread runs).
void set_sign_in_actions(sign_in_actions actions);

class sign_in_routes {
 public:
  // GET "/auth-callback" with the request target; returns the page to send.
  const std::string& auth_callback(std::string_view target);
  // GET "/signout"; returns the page to send.
  const std::string& sign_out();

 private:
  std::string last_token_;
};

}  // namespace kvt::server
