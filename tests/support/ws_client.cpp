#include "support/ws_client.hpp"

#include <boost/asio/connect.hpp>
#include <boost/asio/write.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>

#include <cstring>
#include <future>
#include <stdexcept>

namespace kvt::test {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;

struct ws_client::impl {
  asio::io_context ioc;
  // Keeps the io thread running after the connection ended, so that a
  // write posted then still runs (and fails) instead of waiting for ever.
  asio::executor_work_guard<asio::io_context::executor_type> keep_running{ioc.get_executor()};
  websocket::stream<tcp::socket> ws{ioc};
  beast::flat_buffer buffer;
  std::thread thread;

  mutable std::mutex mutex;
  std::condition_variable arrived;
  std::deque<ws_message> inbox;
  bool closed = false;

  void read_next() {
    ws.async_read(buffer, [this](beast::error_code ec, std::size_t) {
      std::lock_guard lock(mutex);
      if (ec) {
        closed = true;
        arrived.notify_all();
        return;
      }
      const auto data = buffer.cdata();
      inbox.push_back({ws.got_text(), std::string(static_cast<const char*>(data.data()), data.size())});
      buffer.consume(buffer.size());
      arrived.notify_all();
      read_next();
    });
  }

  void write(bool text, std::string bytes) {
    std::promise<void> done;
    asio::post(ioc, [&] {
      beast::error_code ec;
      ws.text(text);
      ws.write(asio::buffer(bytes), ec);  // runs on the io thread, between reads' handlers
      done.set_value();
    });
    done.get_future().wait();
  }
};

ws_client::ws_client(std::uint16_t port, std::string path, std::string origin) : impl_(std::make_unique<impl>()) {
  auto& s = *impl_;
  tcp::resolver resolver(s.ioc);
  asio::connect(s.ws.next_layer(), resolver.resolve("127.0.0.1", std::to_string(port)));
  s.ws.next_layer().set_option(tcp::no_delay(true));
  s.ws.set_option(websocket::stream_base::decorator([origin](websocket::request_type& req) {
    if (!origin.empty()) req.set(beast::http::field::origin, origin);
  }));
  s.ws.handshake("127.0.0.1:" + std::to_string(port), path);
  s.ws.read_message_max(2 * 1024 * 1024);
  s.read_next();
  s.thread = std::thread([&s] { s.ioc.run(); });
}

ws_client::~ws_client() {
  auto& s = *impl_;
  asio::post(s.ioc, [&s] {
    beast::error_code ec;
    s.ws.next_layer().shutdown(tcp::socket::shutdown_both, ec);
    s.ws.next_layer().close(ec);
    s.keep_running.reset();
  });
  s.thread.join();
}

void ws_client::send_text(std::string_view text) { impl_->write(true, std::string(text)); }
void ws_client::send_binary(std::string_view bytes) { impl_->write(false, std::string(bytes)); }
void ws_client::register_as_page() { send_binary(command_message(253, "")); }

std::optional<ws_message> ws_client::next(std::chrono::milliseconds timeout) {
  auto& s = *impl_;
  std::unique_lock lock(s.mutex);
  if (!s.arrived.wait_for(lock, timeout, [&] { return !s.inbox.empty() || s.closed; })) return std::nullopt;
  if (s.inbox.empty()) return std::nullopt;
  ws_message m = std::move(s.inbox.front());
  s.inbox.pop_front();
  return m;
}

std::optional<std::string> ws_client::next_text(std::chrono::milliseconds timeout) {
  auto m = next(timeout);
  if (!m || !m->text) return std::nullopt;
  return std::move(m->bytes);
}

std::deque<ws_message> ws_client::take_all(std::chrono::milliseconds timeout) {
  auto& s = *impl_;
  std::deque<ws_message> all;
  std::unique_lock lock(s.mutex);
  s.arrived.wait_for(lock, timeout, [&] { return !s.inbox.empty() || s.closed; });
  all.swap(s.inbox);
  return all;
}

bool ws_client::closed() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->closed;
}

struct silent_ws_client::impl {
  asio::io_context ioc;
  websocket::stream<tcp::socket> ws{ioc};
};

silent_ws_client::silent_ws_client(std::uint16_t port) : impl_(std::make_unique<impl>()) {
  auto& s = *impl_;
  s.ws.next_layer().connect(tcp::endpoint(asio::ip::address_v4::loopback(), port));
  s.ws.next_layer().set_option(tcp::no_delay(true));
  s.ws.handshake("127.0.0.1:" + std::to_string(port), "/");
}

silent_ws_client::~silent_ws_client() = default;

void silent_ws_client::write_frames(std::string_view frames) {
  asio::write(impl_->ws.next_layer(), asio::buffer(frames.data(), frames.size()));
}

std::string client_frame(bool text, std::string_view payload) {
  std::string f;
  f.push_back(static_cast<char>(0x80 | (text ? 0x1 : 0x2)));
  const std::size_t n = payload.size();
  if (n < 126) {
    f.push_back(static_cast<char>(0x80 | n));
  } else if (n <= 0xFFFF) {
    f.push_back(static_cast<char>(0x80 | 126));
    f.push_back(static_cast<char>(n >> 8));
    f.push_back(static_cast<char>(n & 0xFF));
  } else {
    f.push_back(static_cast<char>(0x80 | 127));
    for (int shift = 56; shift >= 0; shift -= 8) f.push_back(static_cast<char>((n >> shift) & 0xFF));
  }
  f.append(4, '\0');  // the mask key
  f.append(payload);
  return f;
}

std::string command_message(std::uint8_t code, std::uint32_t length_word, std::string_view payload) {
  std::string m(12, '\0');
  m[4] = static_cast<char>(code);
  std::memcpy(m.data() + 8, &length_word, 4);
  m.append(payload);
  return m;
}

std::string command_message(std::uint8_t code, std::string_view payload) {
  return command_message(code, static_cast<std::uint32_t>(payload.size()), payload);
}

std::uint16_t free_port() {
  asio::io_context ioc;
  tcp::acceptor a(ioc, tcp::endpoint(asio::ip::address_v4::loopback(), 0));
  return a.local_endpoint().port();
}

http_reply http_get(std::uint16_t port, std::string_view target) {
  asio::io_context ioc;
  beast::tcp_stream stream(ioc);
  stream.connect(tcp::endpoint(asio::ip::address_v4::loopback(), port));
  beast::http::request<beast::http::empty_body> req{beast::http::verb::get, std::string(target), 11};
  req.set(beast::http::field::host, "127.0.0.1");
  req.keep_alive(false);
  beast::http::write(stream, req);
  beast::flat_buffer buffer;
  beast::http::response<beast::http::string_body> res;
  beast::http::read(stream, buffer, res);
  http_reply r;
  r.status = static_cast<int>(res.result_int());
  r.reason = std::string(res.reason());
  r.body = res.body();
  r.content_type = std::string(res[beast::http::field::content_type]);
  r.allow_origin = std::string(res[beast::http::field::access_control_allow_origin]);
  return r;
}

}  // namespace kvt::test
