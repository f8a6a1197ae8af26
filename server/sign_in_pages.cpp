#include "server/sign_in_pages.hpp"

#include <string_view>

#include "app/deployment.hpp"

namespace kvt::server {

namespace {

std::string make_page(std::string_view title, std::string_view heading, std::string_view paragraph) {
  std::string page;
  page += "<!DOCTYPE html><html lang=\"en\"><head><meta charset=\"UTF-8\">";
  page += "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1.0\">";
  page += "<title>";
  page += title;
  page += "</title><style>";
  page += "html,body{margin:0;padding:0;height:100%;"
          "font-family:-apple-system,BlinkMacSystemFont,\"Segoe UI\",Roboto,Helvetica,Arial,sans-serif}";
  page += "body{display:flex;align-items:center;justify-content:center;background:#0f0f0f;color:#f0f0f0}";
  page += ".content{text-align:center;padding:2em}";
  page += "h1{font-size:2.5em;font-weight:300;margin-bottom:0.5em}";
  page += "p{font-size:1.1em;color:#888}";
  page += ".logo{width:10rem;border:1px solid #333;border-radius:100%;box-shadow:0 0 .5rem #000}";
  page += "</style></head><body><div class=\"content\">";
  page += "<img class=\"logo\" alt=\"\" src=\"https://";
  page += deployment::product_domain;
  page += "/favicon.ico\">";
  page += "<h1>";
  page += heading;
  page += "</h1><p>";
  page += paragraph;
  page += "</p></div></body></html>";
  return page;
}

}  // namespace

const std::string& authentication_page() {
  static const std::string page = make_page(
      "Authentication Success", "Welcome Back!", "You have been successfully authenticated. You can now close this tab.");
  return page;
}

const std::string& signed_out_page() {
  static const std::string page =
      make_page("Signed Out", "Signed Out",
                "You have been successfully signed out of Kestrel Connect. You can now close this tab.");
  return page;
}

}  // namespace kvt::server
