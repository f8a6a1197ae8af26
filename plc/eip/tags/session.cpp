#include "plc/eip/tags/session.hpp"

#include <boost/asio/connect.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "platform/tcp_descriptors.hpp"
#include "plc/eip/tags/status.hpp"

namespace kvt::plc::eip {

namespace {

namespace asio = boost::asio;
using asio::ip::tcp;

// Who opens the connections: a vendor id of our own and a serial number
// drawn once per process.
constexpr std::uint16_t originator_vendor = 0x4B56;
constexpr std::uint32_t requested_packet_interval_us = 2'000'000;
// The controller closes an idle connection after 4 << 7 = 512 intervals
// (about 17 minutes).
constexpr std::uint8_t connection_timeout_multiplier = 7;

std::mt19937& random_source() {
  thread_local std::mt19937 source{std::random_device{}()};
  return source;
}
std::uint32_t random32() { return static_cast<std::uint32_t>(random_source()()); }
std::uint32_t originator_serial() {
  static const std::uint32_t serial = std::random_device{}();
  return serial;
}

}  // namespace

session::session(boost::asio::io_context& io, session_settings settings)
    : io_(io), settings_(std::move(settings)), resolver_(io), socket_(io), timer_(io), batch_timer_(io) {}

session::~session() = default;

// ---- Callers ---------------------------------------------------------------

void session::enqueue(work_item item) {
  bool arm = false;
  {
    std::lock_guard lock(mutex_);
    if (!closing_) {
      const clock::time_point now = clock::now();
      pending_.push_back(std::move(item));
      pending_count_.store(pending_.size(), std::memory_order_release);
      last_enqueue_ = now;
      if (!batch_armed_) {
        batch_armed_ = true;
        first_enqueue_ = now;
        arm = true;
      }
    }
  }
  if (item.tag) {  // not taken: the session is closing
    item.tag->finish(item.op_id, err_abort);
    return;
  }
  if (arm) asio::post(io_, [self = shared_from_this()] { self->arm_batch_timer(); });
}

void session::kick() {
  if (pending_count_.load(std::memory_order_acquire) == 0) return;
  if (kick_posted_.exchange(true)) return;
  asio::post(io_, [self = shared_from_this()] {
    self->kick_posted_.store(false);
    self->flush();
  });
}

void session::close() {
  {
    std::lock_guard lock(mutex_);
    closing_ = true;
  }
  asio::post(io_, [self = shared_from_this()] {
    self->fail_all(err_abort);
    self->batch_timer_.cancel();
    switch (self->phase_) {
      case phase::ready:
        self->phase_ = phase::closing;
        // A request on its way is answered first; then the connection closes.
        if (self->awaiting_ == awaiting::nothing) self->close_step(false);
        break;
      case phase::idle:
      case phase::closed: self->phase_ = phase::closed; break;
      default: self->finish_close(); break;
    }
  });
}

// ---- Batching --------------------------------------------------------------

void session::arm_batch_timer() {
  clock::time_point due;
  {
    std::lock_guard lock(mutex_);
    if (pending_.empty()) return;
    due = last_enqueue_ + batch_quiet;
  }
  batch_timer_.expires_at(due);
  batch_timer_.async_wait([self = shared_from_this()](const boost::system::error_code& ec) {
    if (!ec) self->on_batch_timer();
  });
}

void session::on_batch_timer() {
  {
    std::lock_guard lock(mutex_);
    if (pending_.empty()) {
      batch_armed_ = false;
      return;
    }
    const clock::time_point now = clock::now();
    const bool quiet = now - last_enqueue_ >= batch_quiet;
    const bool overdue = now - first_enqueue_ >= batch_longest;
    if (!quiet && !overdue) {
      const clock::time_point due = std::min(last_enqueue_ + batch_quiet, first_enqueue_ + batch_longest);
      batch_timer_.expires_at(due);
      batch_timer_.async_wait([self = shared_from_this()](const boost::system::error_code& ec) {
        if (!ec) self->on_batch_timer();
      });
      return;
    }
  }
  flush();
}

void session::flush() {
  {
    std::lock_guard lock(mutex_);
    for (work_item& item : pending_) ready_.push_back(std::move(item));
    pending_.clear();
    pending_count_.store(0, std::memory_order_release);
    batch_armed_ = false;
  }
  send_next();
}

// ---- Sending work ------------------------------------------------------------

message_limits session::limits() const noexcept {
  if (connected_) {
    // The connected data item's sequence count takes two of the
    // connection's bytes.
    const std::size_t n = connection_size_ - 2u;
    return {n, n};
  }
  if (settings_.route.empty()) return {unconnected_message_size, unconnected_message_size};
  const std::size_t wrapping = 2 + 4 + 2 + 2 + 1 + 2 + settings_.route.size();
  const std::size_t n = unconnected_message_size - wrapping;
  return {n, n};
}

void session::complete(work_item& item, int result) {
  if (!item.tag) return;
  item.tag->finish(item.op_id, result);
  item.tag.reset();
}

void session::send_next() {
  if (phase_ == phase::closing || phase_ == phase::closed || awaiting_ != awaiting::nothing) return;
  if (continuing_.empty() && next_ >= ready_.size()) {
    ready_.clear();
    next_ = 0;
    return;
  }
  if (phase_ == phase::idle) {
    start_connect();
    return;
  }
  if (phase_ != phase::ready) return;
  if (!build_request()) {
    ready_.clear();
    next_ = 0;
    return;
  }
  awaiting_ = awaiting::request;
  arm_request_timer(request_timeout);
  send_message(message_);
}

bool session::build_request() {
  message_.clear();
  const message_limits lim = limits();
  while (!continuing_.empty()) {
    work_item& item = continuing_.front();
    if (item.tag && item.tag->current(item.op_id)) {
      const int r = append_request(item, message_, lim);
      if (r == status_ok) {
        in_flight_ = {0, 1, false, true};
        return true;
      }
      complete(item, r);
    }
    continuing_.erase(continuing_.begin());
  }
  while (next_ < ready_.size()) {
    work_item& item = ready_[next_];
    if (!item.tag || !item.tag->current(item.op_id)) {
      item.tag.reset();
      ++next_;
      continue;
    }
    if (item.kind == op_kind::connect) {
      complete(item, status_ok);
      ++next_;
      continue;
    }
    // As many of the following reads and writes as the connection takes,
    // requests and replies both.
    std::size_t count = 0;
    if (packing_) {
      std::size_t request = msp_request_fixed, reply = msp_reply_fixed;
      for (std::size_t i = next_; i < ready_.size() && count < 0xFFFF; ++i) {
        const work_item& c = ready_[i];
        if (!c.tag || c.kind == op_kind::connect || !c.tag->current(c.op_id)) break;
        const std::optional<packed_sizes> s = packable(c);
        if (!s || request + s->request + msp_per_service > lim.request ||
            reply + s->reply + msp_per_service > lim.reply)
          break;
        request += s->request + msp_per_service;
        reply += s->reply + msp_per_service;
        ++count;
      }
    }
    if (count >= 2) {
      const std::size_t count_at = begin_msp(message_, static_cast<std::uint16_t>(count));
      bool built = true;
      for (std::size_t j = 0; j < count && built; ++j) {
        mark_msp_service(message_, count_at, static_cast<std::uint16_t>(j));
        const int r = append_request(ready_[next_ + j], message_, lim);
        if (r != status_ok) {
          // Unexpected for a packable item; it fails alone and the rest
          // are packed again without it.
          complete(ready_[next_ + j], r);
          for (std::size_t k = 0; k < j; ++k) ready_[next_ + k].started = false;
          built = false;
        }
      }
      if (!built) {
        message_.clear();
        continue;
      }
      in_flight_ = {next_, count, true, false};
      next_ += count;
      return true;
    }
    const int r = append_request(item, message_, lim);
    if (r == status_ok) {
      in_flight_ = {next_, 1, false, false};
      ++next_;
      return true;
    }
    complete(item, r);
    ++next_;
    message_.clear();
  }
  return false;
}

void session::send_rr(byte_span message) {
  out_.clear();
  expected_context_ = ++context_;
  const packet_marks marks = begin_rr_data(out_, session_handle_, expected_context_);
  put_bytes(out_, message);
  if (!finish_packet(out_, marks)) {
    drop(err_too_large);
    return;
  }
  write_out(false);
}

void session::send_message(byte_span message) {
  if (connected_) {
    out_.clear();
    const packet_marks marks = begin_unit_data(out_, session_handle_, o_to_t_id_, ++sequence_);
    put_bytes(out_, message);
    if (!finish_packet(out_, marks)) {
      drop(err_too_large);
      return;
    }
    write_out(false);
  } else if (!settings_.route.empty()) {
    wrapped_.clear();
    if (!put_unconnected_send(wrapped_, message, settings_.route)) {
      drop(err_encode);
      return;
    }
    send_rr(wrapped_);
  } else {
    send_rr(message);
  }
}

void session::write_out(bool close_after) {
  asio::async_write(socket_, asio::buffer(out_),
                    [self = shared_from_this(), generation = generation_, close_after](
                        const boost::system::error_code& ec, std::size_t) {
                      if (generation != self->generation_) return;
                      if (ec) self->drop(err_bad_connection);
                      else if (close_after) self->finish_close();
                    });
}

void session::arm_request_timer(std::chrono::milliseconds timeout) {
  timer_.expires_after(timeout);
  const std::uint64_t serial = ++request_serial_;
  timer_.async_wait([self = shared_from_this(), generation = generation_, serial](const boost::system::error_code& ec) {
    if (ec || generation != self->generation_ || serial != self->request_serial_) return;
    self->drop(err_timeout);
  });
}

// ---- Opening -------------------------------------------------------------------

void session::start_connect() {
  phase_ = phase::connecting;
  ++generation_;
  packing_ = true;
  connected_ = false;
  large_attempted_ = false;
  session_handle_ = 0;
  arm_request_timer(request_timeout);
  resolver_.async_resolve(
      settings_.host, std::to_string(settings_.port),
      [self = shared_from_this(), generation = generation_](const boost::system::error_code& ec,
                                                           const tcp::resolver::results_type& endpoints) {
        if (generation != self->generation_) return;
        if (ec) {
          self->drop(err_bad_gateway);
          return;
        }
        auto addresses = std::make_shared<std::vector<tcp::endpoint>>();
        for (const auto& entry : endpoints) addresses->push_back(entry.endpoint());
        self->connect_next(std::move(addresses), 0, generation);
      });
}

// Tries the resolved addresses in turn. Each socket is opened close-on-exec
// from the start: the browser engine starts its helper processes with every
// inheritable descriptor open.
void session::connect_next(std::shared_ptr<std::vector<tcp::endpoint>> addresses, std::size_t at,
                           std::uint64_t generation) {
  if (at >= addresses->size()) {
    drop(err_bad_gateway);
    return;
  }
  boost::system::error_code ec;
  socket_.close(ec);
  const tcp::endpoint target = (*addresses)[at];
  int error = 0;
  const int fd = platform::open_tcp_socket(target.address().is_v6(), error);
  if (fd < 0) {
    drop(err_bad_gateway);
    return;
  }
  socket_.assign(target.protocol(), fd, ec);
  if (ec) {
    platform::close_descriptor(fd);
    drop(err_bad_gateway);
    return;
  }
  socket_.async_connect(target, [self = shared_from_this(), addresses = std::move(addresses), at,
                                 generation](const boost::system::error_code& e) mutable {
    if (generation != self->generation_) return;
    if (e)
      self->connect_next(std::move(addresses), at + 1, generation);
    else
      self->on_connected();
  });
}

void session::on_connected() {
  boost::system::error_code ignored;
  socket_.set_option(tcp::no_delay(true), ignored);
  phase_ = phase::registering;
  start_read();
  out_.clear();
  expected_context_ = ++context_;
  build_register_session(out_, expected_context_);
  awaiting_ = awaiting::register_reply;
  arm_request_timer(request_timeout);
  write_out(false);
}

void session::send_forward_open() {
  forward_open_request r;
  r.large = settings_.family != plc_family::omron_njnx && !large_attempted_;
  large_attempted_ = large_attempted_ || r.large;
  r.o_to_t_id = random32();
  r.t_to_o_id = t_to_o_id_ = random32();
  r.connection_serial = connection_serial_ = static_cast<std::uint16_t>(random32());
  r.vendor = originator_vendor;
  r.originator_serial = originator_serial();
  r.timeout_multiplier = connection_timeout_multiplier;
  r.rpi_us = requested_packet_interval_us;
  r.size = connection_size_ = r.large ? large_connection_size : small_connection_size;
  r.route = settings_.route;
  message_.clear();
  if (!put_forward_open(message_, r)) {
    drop(err_encode);
    return;
  }
  phase_ = phase::opening;
  awaiting_ = awaiting::forward_open;
  arm_request_timer(request_timeout);
  send_rr(message_);
}

void session::on_forward_open(byte_span message) {
  const auto reply = parse_cip_reply(message);
  const std::uint8_t sent = connection_size_ == large_connection_size ? service::large_forward_open
                                                                      : service::forward_open;
  if (!reply || reply.value.service != (sent | service::reply_flag)) {
    drop(err_bad_reply);
    return;
  }
  if (reply.value.general_status == cip_status::success) {
    const auto opened = parse_forward_open_reply(reply.value.data);
    if (!opened) {
      drop(err_bad_reply);
      return;
    }
    o_to_t_id_ = opened.value.o_to_t_id;
    t_to_o_id_ = opened.value.t_to_o_id;
    connected_ = true;
  } else if (sent == service::large_forward_open) {
    send_forward_open();  // the small one
    return;
  } else {
    connected_ = false;  // unconnected messages from now on
  }
  phase_ = phase::ready;
  send_next();
}

// ---- Receiving -------------------------------------------------------------------

void session::start_read() {
  asio::async_read(
      socket_, asio::buffer(header_in_),
      [self = shared_from_this(), generation = generation_](const boost::system::error_code& ec, std::size_t) {
        if (generation != self->generation_) return;
        if (ec) {
          self->drop(err_bad_connection);
          return;
        }
        const encap_header h = parse_encap_header(self->header_in_).value;
        self->body_in_.resize(h.length);
        asio::async_read(self->socket_, asio::buffer(self->body_in_),
                         [self, generation, h](const boost::system::error_code& e, std::size_t) {
                           if (generation != self->generation_) return;
                           if (e) {
                             self->drop(err_bad_connection);
                             return;
                           }
                           self->on_packet(h, self->body_in_);
                           if (generation == self->generation_) self->start_read();
                         });
      });
}

void session::on_packet(const encap_header& header, byte_span body) {
  if (phase_ == phase::closed) return;
  const awaiting was = awaiting_;
  awaiting_ = awaiting::nothing;
  timer_.cancel();
  ++request_serial_;

  if (phase_ == phase::closing) {
    // Whatever came, the connection closes next.
    close_step(was == awaiting::forward_close);
    return;
  }

  switch (was) {
    case awaiting::register_reply: {
      const auto handle = parse_register_reply(header, body);
      if (!handle) {
        drop(handle.error);
        return;
      }
      session_handle_ = handle.value;
      send_forward_open();
      return;
    }
    case awaiting::forward_open: {
      if (header.command != encap::send_rr_data || header.session != session_handle_ ||
          header.context != expected_context_) {
        drop(err_bad_reply);
        return;
      }
      if (header.status != 0) {
        drop(err_bad_connection);
        return;
      }
      const auto message = parse_rr_data(body);
      if (!message) {
        drop(err_bad_reply);
        return;
      }
      on_forward_open(message.value);
      return;
    }
    case awaiting::request: {
      const std::uint16_t command = connected_ ? encap::send_unit_data : encap::send_rr_data;
      if (header.command != command || header.session != session_handle_ ||
          (!connected_ && header.context != expected_context_)) {
        drop(err_bad_reply);
        return;
      }
      if (header.status != 0) {
        drop(err_bad_connection);
        return;
      }
      byte_span message;
      if (connected_) {
        const auto m = parse_unit_data(body);
        if (!m || m.value.connection_id != t_to_o_id_ || m.value.sequence != sequence_) {
          drop(err_bad_reply);
          return;
        }
        message = m.value.message;
      } else {
        const auto m = parse_rr_data(body);
        if (!m) {
          drop(err_bad_reply);
          return;
        }
        message = m.value;
      }
      on_reply(message);
      return;
    }
    default:
      // Nothing was asked: not a conversation this session can follow.
      drop(err_bad_reply);
      return;
  }
}

void session::on_reply(byte_span message) {
  const in_flight f = in_flight_;
  in_flight_ = {};
  if (f.continuing) {
    work_item& item = continuing_.front();
    const int r = item.tag && item.tag->current(item.op_id) ? apply_reply(item, message) : err_abort;
    if (r != status_pending) {
      complete(item, r);
      continuing_.erase(continuing_.begin());
    }
  } else if (!f.packed) {
    work_item& item = ready_[f.first];
    const int r = item.tag && item.tag->current(item.op_id) ? apply_reply(item, message) : err_abort;
    if (r == status_pending) continuing_.push_back(std::move(item));
    else complete(item, r);
  } else {
    in_flight_ = f;
    on_packed_reply(message);
    in_flight_ = {};
  }
  send_next();
}

void session::on_packed_reply(byte_span message) {
  const std::size_t first = in_flight_.first;
  const std::size_t count = in_flight_.count;
  const auto fail = [&](int error) {
    for (std::size_t j = 0; j < count; ++j) complete(ready_[first + j], error);
  };
  const auto reply = parse_cip_reply(message);
  if (!reply || reply.value.service != (service::multiple_service_packet | service::reply_flag)) {
    fail(err_bad_reply);
    return;
  }
  const std::uint8_t status = reply.value.general_status;
  if (status == cip_status::service_not_supported) {
    // No packing here: the same work again, one request each.
    packing_ = false;
    for (std::size_t j = 0; j < count; ++j) ready_[first + j].started = false;
    next_ = first;
    return;
  }
  if (status != cip_status::success && status != cip_status::embedded_service_error) {
    fail(error_of_cip_status(status, reply.value.extended_status));
    return;
  }
  if (split_msp_reply(reply.value.data, count, replies_) != status_ok) {
    fail(err_bad_reply);
    return;
  }
  for (std::size_t j = 0; j < count; ++j) {
    work_item& item = ready_[first + j];
    if (!item.tag) continue;
    const int r = item.tag->current(item.op_id) ? apply_reply(item, replies_[j]) : err_abort;
    if (r == status_pending) continuing_.push_back(std::move(item));
    else complete(item, r);
  }
}

// ---- Ending ----------------------------------------------------------------------

void session::close_step(bool forward_close_done) {
  // Forward Close while a class 3 connection is open, then Unregister
  // Session, then the socket.
  if (connected_ && !forward_close_done) {
    message_.clear();
    if (put_forward_close(message_, connection_serial_, originator_vendor, originator_serial(), settings_.route)) {
      awaiting_ = awaiting::forward_close;
      arm_request_timer(request_timeout);
      send_rr(message_);
      return;
    }
  }
  out_.clear();
  build_unregister_session(out_, session_handle_);
  write_out(true);
}

void session::fail_all(int error) {
  // The queue is taken before anything completes: work a caller starts
  // once it sees one of these end belongs to the next connection.
  {
    std::lock_guard lock(mutex_);
    for (work_item& item : pending_) ready_.push_back(std::move(item));
    pending_.clear();
    pending_count_.store(0, std::memory_order_release);
  }
  for (work_item& item : ready_) complete(item, error);
  for (work_item& item : continuing_) complete(item, error);
  ready_.clear();
  continuing_.clear();
  next_ = 0;
  in_flight_ = {};
}

void session::drop(int error) {
  if (phase_ == phase::closing || phase_ == phase::closed) {
    finish_close();
    return;
  }
  ++generation_;
  boost::system::error_code ignored;
  socket_.shutdown(tcp::socket::shutdown_both, ignored);
  socket_.close(ignored);
  timer_.cancel();
  phase_ = phase::idle;
  awaiting_ = awaiting::nothing;
  connected_ = false;
  fail_all(error);
}

void session::finish_close() {
  ++generation_;
  boost::system::error_code ignored;
  socket_.shutdown(tcp::socket::shutdown_both, ignored);
  socket_.close(ignored);
  timer_.cancel();
  batch_timer_.cancel();
  resolver_.cancel();
  phase_ = phase::closed;
  awaiting_ = awaiting::nothing;
}

}  // namespace kvt::plc::eip
