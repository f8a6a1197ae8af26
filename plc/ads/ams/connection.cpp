#include "plc/ads/ams/connection.hpp"

#include <boost/asio.hpp>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>

#include "platform/tcp_descriptors.hpp"

namespace kvt::plc::ads::ams {
namespace {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

// Larger frames are taken as a broken stream.
constexpr std::uint32_t max_frame = 16U << 20;

struct waiter {
  std::mutex mutex;
  std::condition_variable done_cv;
  bool done = false;
  reply answer;
};

void finish(const std::shared_ptr<waiter>& w, reply r) {
  {
    std::lock_guard lock(w->mutex);
    if (w->done) return;
    w->answer = std::move(r);
    w->done = true;
  }
  w->done_cv.notify_all();
}

}  // namespace

// Every socket operation runs on the connection's own I/O thread; callers
// only queue frames and wait for their waiter.
struct connection::impl {
  asio::io_context io;
  asio::executor_work_guard<asio::io_context::executor_type> work{io.get_executor()};
  endpoint peer;
  tcp::resolver resolver{io};
  tcp::socket socket{io};
  enum class state { closed, connecting, open } now = state::closed;
  std::uint64_t generation = 0;  // which socket a handler belongs to
  std::deque<std::vector<std::uint8_t>> outbox;
  bool writing = false;
  std::array<std::uint8_t, tcp_header_size> head{};
  std::vector<std::uint8_t> body;

  std::mutex pending_mutex;
  std::map<std::uint32_t, std::shared_ptr<waiter>> pending;
  std::uint32_t next_invoke = 1;  // guarded by pending_mutex

  std::thread thread;

  explicit impl(endpoint p) : peer(std::move(p)) {
    thread = std::thread([this] { io.run(); });
  }
  ~impl() {
    asio::post(io, [this] { fail_all(error_client); });
    work.reset();
    asio::post(io, [this] { io.stop(); });
    thread.join();
  }

  void fail_all(std::uint32_t error) {
    boost::system::error_code ec;
    resolver.cancel();
    socket.close(ec);
    ++generation;
    now = state::closed;
    outbox.clear();
    writing = false;
    std::map<std::uint32_t, std::shared_ptr<waiter>> failed;
    {
      std::lock_guard lock(pending_mutex);
      failed.swap(pending);
    }
    for (auto& [id, w] : failed) finish(w, reply{error, {}});
  }

  void send(std::vector<std::uint8_t> frame) {
    outbox.push_back(std::move(frame));
    if (now == state::open) {
      write_next();
      return;
    }
    if (now == state::connecting) return;
    now = state::connecting;
    const auto gen = generation;
    resolver.async_resolve(tcp::v4(), peer.host, std::to_string(peer.tcp_port), tcp::resolver::numeric_service,
                           [this, gen](const boost::system::error_code& e, const tcp::resolver::results_type& found) {
                             if (gen != generation) return;
                             if (e || found.empty()) {
                               fail_all(error_target_not_found);
                               return;
                             }
                             connect(gen, found.begin()->endpoint());
                           });
  }

  void connect(std::uint64_t gen, const tcp::endpoint& to) {
    int error = 0;
    const int fd = platform::open_tcp_socket(false, error);
    boost::system::error_code ec;
    if (fd >= 0) socket.assign(tcp::v4(), fd, ec);
    if (fd < 0 || ec) {
      if (fd >= 0) platform::close_descriptor(fd);
      fail_all(error_target_not_found);
      return;
    }
    socket.async_connect(to, [this, gen](const boost::system::error_code& e) {
      if (gen != generation) return;
      if (e) {
        fail_all(error_target_not_found);
        return;
      }
      now = state::open;
      read_head(gen);
      write_next();
    });
  }

  void write_next() {
    if (writing || outbox.empty()) return;
    writing = true;
    const auto gen = generation;
    asio::async_write(socket, asio::buffer(outbox.front()),
                      [this, gen](const boost::system::error_code& e, std::size_t) {
                        if (gen != generation) return;
                        writing = false;
                        if (e) {
                          fail_all(error_client);
                          return;
                        }
                        outbox.pop_front();
                        write_next();
                      });
  }

  void read_head(std::uint64_t gen) {
    asio::async_read(socket, asio::buffer(head), [this, gen](const boost::system::error_code& e, std::size_t) {
      if (gen != generation) return;
      const auto h = decode_tcp_header(head);
      if (e || !h || h->length > max_frame) {
        fail_all(error_client);
        return;
      }
      body.assign(h->length, 0);
      const bool ams_data = h->reserved == 0;
      asio::async_read(socket, asio::buffer(body),
                       [this, gen, ams_data](const boost::system::error_code& e2, std::size_t) {
                         if (gen != generation) return;
                         if (e2) {
                           fail_all(error_client);
                           return;
                         }
                         if (ams_data && !deliver()) {
                           fail_all(error_client);
                           return;
                         }
                         read_head(gen);
                       });
    });
  }

  // Hands a reply to its waiter; false when the frame is malformed.
  bool deliver() {
    const auto packet = decode_ams_packet(body);
    if (!packet) return false;
    if ((packet->header.state_flags & flags_response) == 0) return true;
    std::shared_ptr<waiter> w;
    {
      std::lock_guard lock(pending_mutex);
      const auto it = pending.find(packet->header.invoke_id);
      if (it == pending.end()) return true;  // timed out already
      w = std::move(it->second);
      pending.erase(it);
    }
    finish(w, reply{packet->header.error_code, {packet->data.begin(), packet->data.end()}});
    return true;
  }
};

connection::connection(const endpoint& peer) : impl_(std::make_unique<impl>(peer)) {}

connection::~connection() = default;

reply connection::transact(const std::function<std::vector<std::uint8_t>(std::uint32_t)>& build) {
  auto w = std::make_shared<waiter>();
  std::uint32_t id = 0;
  {
    std::lock_guard lock(impl_->pending_mutex);
    do {
      id = impl_->next_invoke++;
    } while (id == 0 || impl_->pending.contains(id));
    impl_->pending.emplace(id, w);
  }
  asio::post(impl_->io, [i = impl_.get(), frame = build(id)]() mutable { i->send(std::move(frame)); });
  std::unique_lock lock(w->mutex);
  if (!w->done_cv.wait_for(lock, request_timeout, [&] { return w->done; })) {
    lock.unlock();
    {
      std::lock_guard plock(impl_->pending_mutex);
      impl_->pending.erase(id);
    }
    lock.lock();
    if (!w->done) return reply{error_sync_timeout, {}};
  }
  return std::move(w->answer);
}

namespace {

std::mutex registry_mutex;
std::map<endpoint, std::shared_ptr<connection>>& registry() {
  static std::map<endpoint, std::shared_ptr<connection>> connections;
  return connections;
}

}  // namespace

std::shared_ptr<connection> connection_for(const net_id& target) {
  const endpoint peer = endpoint_for(target);
  std::lock_guard lock(registry_mutex);
  auto& c = registry()[peer];
  if (!c) c = std::make_shared<connection>(peer);
  return c;
}

void close_all_connections() {
  std::map<endpoint, std::shared_ptr<connection>> closing;
  {
    std::lock_guard lock(registry_mutex);
    closing.swap(registry());
  }
}

}  // namespace kvt::plc::ads::ams
