// One WebSocket connection of the command server.
#pragma once

#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>

#include <deque>
#include <memory>
#include <string>

#include "server/connection.hpp"

namespace kvt::server {

class server_core;

class websocket_session final : public connection, public std::enable_shared_from_this<websocket_session> {
 public:
  websocket_session(boost::asio::ip::tcp::socket&& socket, server_core& core);

  // Completes the upgrade that `request` asked for, then reads messages.
  void start(boost::beast::http::request<boost::beast::http::string_body> request);

  void send_text(std::string message, kind k) override;
  using connection::send_text;
  void send_binary(std::shared_ptr<const std::string> bytes) override;
  using connection::send_binary;
  bool is_open() const noexcept override { return open_; }

  // Sends a close frame; the session ends when the peer answers or the
  // socket closes.
  void close();

 private:
  struct outgoing {
    bool text;
    std::shared_ptr<const std::string> bytes;
  };

  void on_accept(boost::beast::error_code ec);
  void read_next();
  void on_read(boost::beast::error_code ec, std::size_t bytes);
  void enqueue(bool text, std::shared_ptr<const std::string> bytes, kind k);
  void write_next();
  void on_write(boost::beast::error_code ec);
  void end();

  boost::beast::websocket::stream<boost::beast::tcp_stream> ws_;
  boost::beast::flat_buffer buffer_;
  server_core& core_;
  std::deque<outgoing> queue_;
  std::size_t queued_bytes_ = 0;
  bool open_ = false;
  bool ended_ = false;
};

}  // namespace kvt::server
