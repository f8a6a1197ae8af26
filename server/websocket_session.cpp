#include "server/websocket_session.hpp"

#include <boost/asio/buffer.hpp>

#include "server/server_core.hpp"

namespace kvt::server {

namespace beast = boost::beast;
namespace websocket = beast::websocket;

namespace {
// What a queued message holds on to besides its payload: the queue entry,
// the shared buffer's control block and string header (rounded up).
constexpr std::size_t queue_entry_overhead = 64;

std::size_t queued_cost(const std::string& bytes) noexcept { return bytes.size() + queue_entry_overhead; }
}  // namespace

websocket_session::websocket_session(boost::asio::ip::tcp::socket&& socket, server_core& core)
    : ws_(std::move(socket)), core_(core) {}

void websocket_session::start(beast::http::request<beast::http::string_body> request) {
  beast::get_lowest_layer(ws_).expires_never();
  websocket::stream_base::timeout timeout = websocket::stream_base::timeout::suggested(beast::role_type::server);
  timeout.idle_timeout = websocket::stream_base::none();  // connections live as long as their peers
  timeout.keep_alive_pings = false;
  ws_.set_option(timeout);
  ws_.read_message_max(max_message_bytes);
  ws_.auto_fragment(false);
  ws_.async_accept(request, [self = shared_from_this()](beast::error_code ec) { self->on_accept(ec); });
}

void websocket_session::on_accept(beast::error_code ec) {
  if (ec) return;
  open_ = true;
  core_.on_open(shared_from_this());
  read_next();
}

void websocket_session::read_next() {
  ws_.async_read(buffer_, [self = shared_from_this()](beast::error_code ec, std::size_t bytes) {
    self->on_read(ec, bytes);
  });
}

void websocket_session::on_read(beast::error_code ec, std::size_t /*bytes*/) {
  if (ec) {
    end();
    return;
  }
  const auto data = buffer_.cdata();
  if (ws_.got_text()) {
    core_.on_text(std::string_view(static_cast<const char*>(data.data()), data.size()));
  } else {
    core_.on_binary(std::span<const std::byte>(static_cast<const std::byte*>(data.data()), data.size()),
                    shared_from_this());
  }
  buffer_.consume(buffer_.size());
  if (open_) read_next();
}

void websocket_session::send_text(std::string message, kind k) {
  enqueue(true, std::make_shared<const std::string>(std::move(message)), k);
}

// Relayed buffers and loaded files are answers to what a client sent.
void websocket_session::send_binary(std::shared_ptr<const std::string> bytes) {
  enqueue(false, std::move(bytes), kind::reply);
}

void websocket_session::enqueue(bool text, std::shared_ptr<const std::string> bytes, kind k) {
  // Beyond the back-pressure limit a slow reader loses messages rather than
  // making the server hold ever more memory for it. A queued message costs
  // its queue entry too: a client that never reads could otherwise pile up
  // millions of one-byte notifications within the byte limit.
  const std::size_t allowance = k == kind::reply ? max_backpressure_bytes : max_backpressure_bytes / 2;
  if (!open_ || !bytes || queued_bytes_ > allowance) return;
  queued_bytes_ += queued_cost(*bytes);
  queue_.push_back({text, std::move(bytes)});
  if (queue_.size() == 1) write_next();
}

void websocket_session::write_next() {
  const outgoing& next = queue_.front();
  ws_.text(next.text);
  ws_.async_write(boost::asio::buffer(*next.bytes),
                  [self = shared_from_this()](beast::error_code ec, std::size_t) { self->on_write(ec); });
}

void websocket_session::on_write(beast::error_code ec) {
  // The message written (or abandoned) leaves the queue only now: its bytes
  // had to live until the write completed.
  queued_bytes_ -= queued_cost(*queue_.front().bytes);
  queue_.pop_front();
  if (ec || ended_) {
    queue_.clear();
    queued_bytes_ = 0;
    end();
    return;
  }
  if (!queue_.empty()) write_next();
}

void websocket_session::close() {
  if (!open_) return;
  if (!queue_.empty()) {
    end();  // a close frame cannot overtake a write in flight: drop the link
    return;
  }
  open_ = false;
  ws_.async_close(websocket::close_code::going_away, [self = shared_from_this()](beast::error_code) { self->end(); });
}

void websocket_session::end() {
  if (ended_) return;
  ended_ = true;
  open_ = false;
  core_.on_close(this);
  beast::error_code ignored;
  beast::get_lowest_layer(ws_).socket().close(ignored);
}

}  // namespace kvt::server
