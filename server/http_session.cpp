#include "server/http_session.hpp"

#include <boost/beast/websocket/rfc6455.hpp>

#include <chrono>
#include <string_view>

#include "server/origin_policy.hpp"
#include "server/server_core.hpp"
#include "server/url.hpp"
#include "server/websocket_session.hpp"

namespace kvt::server {

namespace beast = boost::beast;
namespace http = beast::http;

namespace {
constexpr auto request_timeout = std::chrono::seconds(30);
constexpr std::size_t max_request_body = 64 * 1024;

constexpr std::string_view sign_out_path = "/signout";
constexpr std::string_view auth_callback_path = "/auth-callback";
constexpr std::string_view not_found_body =
    "<html><body><h1>404 File Not Found</h1><hr><i>Kestrel Connect</i></body></html>";
}  // namespace

http_session::http_session(boost::asio::ip::tcp::socket&& socket, server_core& core)
    : stream_(std::move(socket)), core_(core) {}

void http_session::run() {
  beast::error_code ignored;
  stream_.socket().set_option(boost::asio::ip::tcp::no_delay(true), ignored);
  read_next();
}

void http_session::read_next() {
  parser_.emplace();
  parser_->body_limit(max_request_body);
  stream_.expires_after(request_timeout);
  http::async_read(stream_, buffer_, *parser_,
                   [self = shared_from_this()](beast::error_code ec, std::size_t) { self->on_read(ec); });
}

void http_session::on_read(beast::error_code ec) {
  if (ec) {
    beast::error_code ignored;
    stream_.socket().shutdown(boost::asio::ip::tcp::socket::shutdown_both, ignored);
    return;
  }
  auto& request = parser_->get();
  if (beast::websocket::is_upgrade(request)) {
    if (websocket_origin_allowed(request[http::field::origin])) {
      std::make_shared<websocket_session>(stream_.release_socket(), core_)->start(parser_->release());
      return;
    }
    response_ = {};
    response_.result(http::status::forbidden);
    response_.version(request.version());
    response_.keep_alive(false);
    response_.prepare_payload();
    http::async_write(stream_, response_,
                      [self = shared_from_this()](beast::error_code e, std::size_t) { self->on_write(e, false); });
    return;
  }
  respond();
}

void http_session::respond() {
  const auto& request = parser_->get();
  const std::string_view target(request.target().data(), request.target().size());
  const std::string_view path = target_path(target);
  response_ = {};
  response_.version(request.version());
  response_.keep_alive(request.keep_alive());

  const std::string* page = nullptr;
  if (request.method() == http::verb::get && path == sign_out_path) page = &core_.sign_in().sign_out();
  if (request.method() == http::verb::get && path == auth_callback_path) page = &core_.sign_in().auth_callback(target);

  if (page != nullptr) {
    response_.result(http::status::ok);
    response_.set(http::field::access_control_allow_origin, "*");
    response_.set(http::field::content_type, "text/html; charset=utf-8");
    response_.body() = *page;
  } else {
    response_.result(http::status::not_found);
    response_.reason("File Not Found");
    response_.body() = not_found_body;
  }
  response_.prepare_payload();
  const bool keep_alive = response_.keep_alive();
  http::async_write(stream_, response_, [self = shared_from_this(), keep_alive](beast::error_code ec, std::size_t) {
    self->on_write(ec, keep_alive);
  });
}

void http_session::on_write(beast::error_code ec, bool keep_alive) {
  if (!ec && keep_alive) {
    read_next();
    return;
  }
  beast::error_code ignored;
  stream_.socket().shutdown(boost::asio::ip::tcp::socket::shutdown_send, ignored);
}

}  // namespace kvt::server
