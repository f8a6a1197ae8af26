#include "server/sign_in_routes.hpp"

#include <utility>

#include "server/sign_in_pages.hpp"
#include "server/url.hpp"

namespace kvt::server {

namespace {
sign_in_actions& actions() {
  static sign_in_actions instance;
  return instance;
}
}  // namespace

void set_sign_in_actions(sign_in_actions a) { actions() = std::move(a); }

const std::string& sign_in_routes::auth_callback(std::string_view target) {
  std::string token = query_parameter(target, "token").value_or(std::string{});
  if (token != last_token_) {
    last_token_ = std::move(token);
    if (actions().install_token) actions().install_token(last_token_);
  }
  return authentication_page();
}

const std::string& sign_in_routes::sign_out() {
  last_token_.clear();
  if (actions().remove_token) actions().remove_token();
  return signed_out_page();
}

}  // namespace kvt::server
