// Fuzz target: the HTTP side of the command server. The input is one request
// as it arrives on the socket; it is parsed with the server's parser and
// limits and routed as the HTTP session routes it: GET "/auth-callback"
// installs the "token" query parameter, GET "/signout" removes it, an
// upgrade is checked against the origin policy. Checked:
// - the path is the target up to the first '?';
// - "/auth-callback" answers with the authentication page and hands over
//   exactly the percent-decoded "token" parameter (or nothing when it did
//   not change); "/signout" answers with the signed-out page;
// - percent-encoding any text and decoding it gives the text back, and
//   decoding never makes text longer;
// - an allowed origin is absent or an http(s) origin without a path.
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "server/origin_policy.hpp"
#include "server/sign_in_pages.hpp"
#include "server/sign_in_routes.hpp"
#include "server/url.hpp"
#include "support/check.hpp"

namespace {

namespace http = boost::beast::http;
using namespace kvt::server;

constexpr std::size_t max_request_body = 64 * 1024;  // as the HTTP session allows

std::string percent_encode(std::string_view text) {
  static constexpr char hex[] = "0123456789ABCDEF";
  std::string out;
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    out += '%';
    out += hex[u >> 4];
    out += hex[u & 0xF];
  }
  return out;
}

struct recorded_actions {
  int installs = 0;
  int removals = 0;
  std::string token;
};
recorded_actions actions;

void check_text(std::string_view text) {
  KVT_FUZZ_CHECK(percent_decode(percent_encode(text)) == text, "encoding and decoding changed a text");
  KVT_FUZZ_CHECK(percent_decode(text).size() <= text.size(), "decoding made a text longer");
  const auto token = query_parameter("/auth-callback?state=1&token=" + percent_encode(text), "token");
  KVT_FUZZ_CHECK(token && *token == text, "an encoded token parameter did not come back");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  set_sign_in_actions({[](const std::string& token) {
                         ++actions.installs;
                         actions.token = token;
                       },
                       [] { ++actions.removals; }});
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(bytes), size);
  check_text(input.substr(0, 256));

  http::request_parser<http::string_body> parser;
  parser.eager(true);
  parser.body_limit(max_request_body);
  boost::beast::error_code ec;
  parser.put(boost::asio::buffer(input.data(), input.size()), ec);
  if (ec || !parser.is_header_done()) return 0;
  const auto& request = parser.get();

  const std::string_view origin(request[http::field::origin].data(), request[http::field::origin].size());
  if (websocket_origin_allowed(origin)) {
    const bool http_origin = origin.starts_with("http://") || origin.starts_with("https://");
    KVT_FUZZ_CHECK(origin.empty() || (http_origin && origin.find('/', origin.find("://") + 3) == std::string_view::npos),
                   "origin \"%.*s\" was allowed", static_cast<int>(origin.size()), origin.data());
  }

  const std::string_view target(request.target().data(), request.target().size());
  const std::string_view path = target_path(target);
  KVT_FUZZ_CHECK(target.starts_with(path) && path.find('?') == std::string_view::npos &&
                     (path.size() == target.size() || target[path.size()] == '?'),
                 "path \"%.*s\" of target \"%.*s\"", static_cast<int>(path.size()), path.data(),
                 static_cast<int>(target.size()), target.data());
  check_text(target);
  if (request.method() != http::verb::get) return 0;

  sign_in_routes routes;
  actions = {};
  if (path == "/auth-callback") {
    const std::string token = query_parameter(target, "token").value_or(std::string{});
    const std::string& page = routes.auth_callback(target);
    KVT_FUZZ_CHECK(&page == &authentication_page(), "the sign-in callback answered with another page");
    KVT_FUZZ_CHECK(actions.installs == (token.empty() ? 0 : 1) && actions.token == token,
                   "the callback installed %d tokens for a token of %zu bytes", actions.installs, token.size());
    routes.auth_callback(target);
    KVT_FUZZ_CHECK(actions.installs == (token.empty() ? 0 : 1), "the same token was installed again");
  } else if (path == "/signout") {
    KVT_FUZZ_CHECK(&routes.sign_out() == &signed_out_page(), "sign-out answered with another page");
    KVT_FUZZ_CHECK(actions.removals == 1, "sign-out removed the token %d times", actions.removals);
  }
  return 0;
}
