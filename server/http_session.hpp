// A new TCP connection to the command server: reads HTTP requests, answers
// the sign-in routes and 404 for anything else, and hands WebSocket
// upgrades on any path to a websocket_session.
#pragma once

#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include <memory>
#include <optional>

namespace kvt::server {

class server_core;

class http_session : public std::enable_shared_from_this<http_session> {
 public:
  http_session(boost::asio::ip::tcp::socket&& socket, server_core& core);
  void run();

 private:
  void read_next();
  void on_read(boost::beast::error_code ec);
  void respond();
  void on_write(boost::beast::error_code ec, bool keep_alive);

  boost::beast::tcp_stream stream_;
  boost::beast::flat_buffer buffer_;
  std::optional<boost::beast::http::request_parser<boost::beast::http::string_body>> parser_;
  boost::beast::http::response<boost::beast::http::string_body> response_;
  server_core& core_;
};

}  // namespace kvt::server
