#include "server/server_thread.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/v6_only.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/clock.hpp"
#include "platform/message_box.hpp"
#include "platform/tcp_descriptors.hpp"
#include "platform/thread_priority.hpp"
#include "server/client_hub.hpp"
#include "server/http_session.hpp"
#include "server/messages.hpp"
#include "server/server_core.hpp"

namespace kvt::server {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

namespace {

// While binary traffic flowed this recently, the loop polls without waiting.
constexpr std::uint64_t busy_polling_ns = 100'000'000;
// Otherwise it waits this long for socket activity before polling again.
constexpr auto idle_wait = std::chrono::milliseconds(20);
// How long accepting pauses after a failed accept; how often a failed accept
// and a refused connection are reported at most; how many connections are
// taken in one loop turn at most.
constexpr auto accept_pause = std::chrono::milliseconds(100);
constexpr std::uint64_t report_interval_ns = 60'000'000'000;
constexpr std::size_t max_accepts_per_turn = 64;
// Handlers run in one loop turn at most, between looks at the stop flag and
// the page's buffer.
constexpr std::size_t max_handlers_per_turn = 256;

class listener {
 public:
  listener(asio::io_context& ioc, server_core& core) : ioc_(ioc), core_(core) {}

  // Binds the loopback addresses, IPv4 and IPv6, on `port` (the IPv6 socket
  // takes the IPv4 one's port when `port` is 0). Another process holding the
  // port makes this fail. A machine without IPv6 serves IPv4 alone.
  bool listen(std::uint16_t port, std::uint16_t& bound) {
    boost::system::error_code ec;
    if (!open(tcp::endpoint(asio::ip::address_v4::loopback(), port), ec)) return false;
    bound = acceptors_.front().local_endpoint().port();
    if (!open(tcp::endpoint(asio::ip::address_v6::loopback(), bound), ec) &&
        ec != asio::error::address_family_not_supported && ec != boost::system::errc::address_not_available)
      return false;
    for (auto& a : acceptors_) accept_next(a);
    return true;
  }

  void close() {
    boost::system::error_code ignored;
    for (auto& a : acceptors_) a.close(ignored);
  }

 private:
  bool open(const tcp::endpoint& endpoint, boost::system::error_code& ec) {
    tcp::acceptor acceptor(ioc_);
    int error = 0;
    const int fd = platform::open_tcp_socket(endpoint.address().is_v6(), error);
    if (fd < 0) {
      ec.assign(error, boost::system::system_category());
      return false;
    }
    acceptor.assign(endpoint.protocol(), fd, ec);
    if (ec) {
      platform::close_descriptor(fd);
      return false;
    }
    // Accepting happens only after a readiness wait and must never block.
    acceptor.native_non_blocking(true, ec);
    if (endpoint.address().is_v6()) acceptor.set_option(asio::ip::v6_only(true), ec);
    // Lets a restarted program bind while old connections linger in
    // TIME_WAIT; on Linux it never lets two sockets listen on one port.
    acceptor.set_option(asio::socket_base::reuse_address(true), ec);
    acceptor.bind(endpoint, ec);
    if (ec) return false;
    acceptor.listen(asio::socket_base::max_listen_connections, ec);
    if (ec) return false;
    acceptors_.push_back(std::move(acceptor));
    return true;
  }

  // Waits until a connection is pending, then takes what is there.
  void accept_next(tcp::acceptor& acceptor) {
    acceptor.async_wait(tcp::acceptor::wait_read, [this, &acceptor](boost::system::error_code ec) {
      if (ec == asio::error::operation_aborted || !acceptor.is_open()) return;
      if (ec) {
        pause_accepting(acceptor, ec);
        return;
      }
      accept_pending(acceptor);
    });
  }

  // Takes the pending connections (close-on-exec from the start: the
  // browser engine's helper processes inherit every other descriptor) until
  // none waits, and waits again only then, since the readiness of the
  // listening socket is reported once per arrival. After a batch the loop
  // gets a turn first.
  void accept_pending(tcp::acceptor& acceptor) {
    for (std::size_t taken = 0; taken < max_accepts_per_turn; ++taken) {
      int error = 0;
      const int fd = platform::accept_connection(acceptor.native_handle(), error);
      if (fd < 0) {
        if (error == EAGAIN || error == EWOULDBLOCK) {
          accept_next(acceptor);
        } else if (error == EINTR || error == ECONNABORTED) {
          continue;  // that connection is gone; the next may be there
        } else {
          pause_accepting(acceptor, boost::system::error_code(error, boost::system::system_category()));
        }
        return;
      }
      if (!admit(fd, acceptor.local_endpoint().protocol(), error)) {
        pause_accepting(acceptor, boost::system::error_code(error, boost::system::system_category()));
        return;
      }
    }
    asio::post(ioc_, [this, &acceptor] {
      if (acceptor.is_open()) accept_pending(acceptor);
    });
  }

  // Only this user's own processes may use the command server: another
  // account of the same machine could otherwise register as the page and
  // read this user's files through it. The connection is closed before a
  // byte of it is read. False, with the connection closed, when its user
  // cannot be looked up for want of resources: accepting pauses then.
  bool admit(int fd, const tcp& protocol, int& error) {
    const std::optional<std::uint32_t> user = platform::local_peer_user(fd, error);
    if (!user && error != 0) {
      platform::close_descriptor(fd);
      return false;
    }
    if (!user || *user != platform::current_user()) {
      refuse(user);
      platform::close_descriptor(fd);
      return true;
    }
    tcp::socket socket(ioc_);
    boost::system::error_code ec;
    socket.assign(protocol, fd, ec);
    if (ec) {
      platform::close_descriptor(fd);
      return true;
    }
    std::make_shared<http_session>(std::move(socket), core_)->run();
    return true;
  }

  void refuse(const std::optional<std::uint32_t>& user) {
    const std::uint64_t now = platform::monotonic_ns();
    if (last_refusal_report_ns_ != 0 && now - last_refusal_report_ns_ < report_interval_ns) return;
    last_refusal_report_ns_ = now;
    if (user)
      std::fprintf(stderr, "%s (uid %lu)\n", refused_connection_text.data(), static_cast<unsigned long>(*user));
    else
      std::fprintf(stderr, "%s (user unknown)\n", refused_connection_text.data());
  }

  // An accept that fails (most often: no descriptor left) fails again at
  // once while the pending connection waits in the backlog; retrying at
  // once would spin. Pause this acceptor for a while, and say so at most
  // once a minute.
  void pause_accepting(tcp::acceptor& acceptor, const boost::system::error_code& ec) {
    const std::uint64_t now = platform::monotonic_ns();
    if (last_failure_report_ns_ == 0 || now - last_failure_report_ns_ >= report_interval_ns) {
      std::fprintf(stderr, "%s%s\n", accept_failure_prefix.data(), ec.message().c_str());
      last_failure_report_ns_ = now;
    }
    auto timer = std::make_shared<asio::steady_timer>(ioc_, accept_pause);
    timer->async_wait([this, &acceptor, timer](boost::system::error_code wait_error) {
      if (wait_error || !acceptor.is_open()) return;
      accept_pending(acceptor);
    });
  }

  asio::io_context& ioc_;
  server_core& core_;
  std::list<tcp::acceptor> acceptors_;  // stable addresses: handlers refer to them
  std::uint64_t last_failure_report_ns_ = 0;
  std::uint64_t last_refusal_report_ns_ = 0;
};

// Runs the handlers that are ready, but at most `max_handlers_per_turn`:
// `poll()` would also run what other threads post meanwhile, and a steady
// stream of posted work (a flooded discovery) would then keep the loop from
// ever looking at the stop flag and the page's buffer again. Socket
// completions and posted work take their turns in order, so commands are
// still answered while posted work waits.
void run_ready_handlers(asio::io_context& ioc) {
  for (std::size_t ran = 0; ran < max_handlers_per_turn && ioc.poll_one() != 0;) ++ran;
}

// Said on standard error, and in a dialog where there is a display; the
// process ends once the dialog is closed.
[[noreturn]] void report_port_occupied(std::uint16_t port) {
  const std::string text = port_occupied_text(port);
  std::fprintf(stderr, "%s: %s\n", port_occupied_title.data(), text.c_str());
  std::fflush(stderr);
  if (platform::has_message_box_presenter())
    platform::show_message_box(platform::message_box_buttons::ok, platform::message_box_icon::error,
                               std::string(port_occupied_title), text);
  std::fflush(nullptr);
  // Other threads are running: end without static destructors, after the
  // handlers registered for a quick exit (they remove shared-memory names).
  std::quick_exit(1);
}

}  // namespace

void run_server(const server_settings& settings, const std::atomic<bool>& stop) {
  platform::set_current_thread_priority(platform::thread_priority::highest);
  asio::io_context ioc(1);
  client_hub& hub = clients();
  server_core core(ioc, hub, settings.command_buffer);
  listener accept(ioc, core);

  std::uint16_t bound = 0;
  if (!accept.listen(settings.port, bound)) report_port_occupied(settings.port);

  hub.attach([&ioc](client_hub::action a) { asio::post(ioc, std::move(a)); });
  set_server_poster([&ioc](std::function<void()> work) { asio::post(ioc, std::move(work)); });
  if (settings.on_listening) settings.on_listening(bound);

  while (!stop.load()) {
    core.relay().relay_page_message();
    if (ioc.stopped()) ioc.restart();
    if (platform::monotonic_ns() - core.last_activity_ns() <= busy_polling_ns) {
      run_ready_handlers(ioc);
    } else {
      // Wakes at once for socket activity or posted work; at the latest
      // after the idle wait, to look at the page's buffer and the stop flag.
      if (ioc.run_one_for(idle_wait) != 0) run_ready_handlers(ioc);
    }
  }

  set_server_poster({});
  accept.close();
  core.close_all();
  hub.detach();
  // Let the close frames go out; connections that do not answer are dropped
  // with the io_context.
  if (ioc.stopped()) ioc.restart();
  ioc.run_for(std::chrono::milliseconds(100));
}

}  // namespace kvt::server
