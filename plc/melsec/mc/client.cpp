#include "plc/melsec/mc/client.hpp"

#include <boost/asio.hpp>
#include <algorithm>
#include <array>
#include <string>
#include <system_error>
#include <utility>

#include "platform/tcp_descriptors.hpp"
#include "plc/melsec/mc/codes.hpp"
#include "plc/melsec/mc/frames.hpp"

namespace kvt::plc::melsec::mc {
namespace {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

}  // namespace

struct client::impl {
  asio::io_context io;
  tcp::socket socket{io};

  // Runs the queued operations until `done` or the time-out; past the
  // time-out the socket is closed, which ends them with operation_aborted.
  // True when they finished in time.
  bool run(std::chrono::milliseconds timeout, const bool& done) {
    io.restart();
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done && std::chrono::steady_clock::now() < deadline && !io.stopped())
      io.run_one_until(deadline);
    if (done) return true;
    boost::system::error_code ignored;
    socket.close(ignored);
    io.restart();
    io.run();
    return false;
  }

  // A new close-on-exec socket of the endpoint's family.
  bool fresh_socket(const tcp::endpoint& endpoint, std::string& error) {
    boost::system::error_code ignored;
    socket.close(ignored);
    int os_error = 0;
    const bool v6 = endpoint.address().is_v6();
    const int fd = platform::open_tcp_socket(v6, os_error);
    if (fd < 0) {
      error = "no socket could be made (" + std::system_category().message(os_error) + ")";
      return false;
    }
    boost::system::error_code ec;
    socket.assign(v6 ? tcp::v6() : tcp::v4(), fd, ec);
    if (ec) {
      platform::close_descriptor(fd);
      error = "no socket could be made (" + ec.message() + ")";
      return false;
    }
    return true;
  }
};

client::client(std::string host, std::uint16_t port)
    : host_(std::move(host)), port_(port), impl_(std::make_unique<impl>()) {}

client::~client() = default;

bool client::connected() const noexcept { return impl_->socket.is_open(); }

void client::disconnect() noexcept {
  boost::system::error_code ignored;
  impl_->socket.close(ignored);
}

std::int32_t client::connect(std::string& error) {
  if (connected()) return code::ok;
  const auto started = std::chrono::steady_clock::now();
  const auto remaining = [&] {
    return std::max(std::chrono::milliseconds(0), timeout_ - std::chrono::duration_cast<std::chrono::milliseconds>(
                                                                  std::chrono::steady_clock::now() - started));
  };

  // The host as an address, or resolved by name.
  std::vector<tcp::endpoint> endpoints;
  boost::system::error_code ec;
  const auto address = asio::ip::make_address(host_, ec);
  if (!ec) {
    endpoints.emplace_back(address, port_);
  } else {
    tcp::resolver resolver(impl_->io);
    bool done = false;
    boost::system::error_code resolve_error;
    resolver.async_resolve(host_, std::to_string(port_), asio::ip::resolver_base::numeric_service,
                           [&](const boost::system::error_code& e, const tcp::resolver::results_type& results) {
                             resolve_error = e;
                             for (const auto& r : results) endpoints.push_back(r.endpoint());
                             done = true;
                           });
    impl_->io.restart();
    const auto deadline = std::chrono::steady_clock::now() + remaining();
    while (!done && std::chrono::steady_clock::now() < deadline) impl_->io.run_one_until(deadline);
    if (!done) {
      resolver.cancel();
      impl_->io.restart();
      impl_->io.run();
      error = "host '" + host_ + "' was not resolved within the time-out";
      return code::bad_host;
    }
    if (resolve_error || endpoints.empty()) {
      error = "host '" + host_ + "' is not known (" + resolve_error.message() + ")";
      return code::bad_host;
    }
  }

  std::string why = "no address";
  for (const tcp::endpoint& endpoint : endpoints) {
    if (!impl_->fresh_socket(endpoint, why)) continue;
    bool done = false;
    boost::system::error_code connect_error;
    impl_->socket.async_connect(endpoint, [&](const boost::system::error_code& e) {
      connect_error = e;
      done = true;
    });
    if (!impl_->run(remaining(), done)) {
      why = "no connection within " + std::to_string(timeout_.count()) + " ms";
      break;
    }
    if (!connect_error) {
      impl_->socket.set_option(tcp::no_delay(true), ec);
      return code::ok;
    }
    why = connect_error.message();
    disconnect();
  }
  disconnect();
  error = "cannot connect to " + host_ + ":" + std::to_string(port_) + " (" + why + ")";
  return code::connect_failed;
}

std::int32_t client::exchange(std::span<const std::uint8_t> request, std::vector<std::uint8_t>& response,
                              std::string& error) {
  if (!connected()) {
    error = "not connected";
    return code::connection_lost;
  }
  auto& s = impl_->socket;
  std::array<std::uint8_t, header_size> head{};
  bool done = false;
  bool malformed = false;
  boost::system::error_code io_error;
  const auto finish = [&](const boost::system::error_code& e) {
    io_error = e;
    done = true;
  };
  response.clear();
  asio::async_write(s, asio::buffer(request.data(), request.size()), [&](const boost::system::error_code& e, std::size_t) {
    if (e) return finish(e);
    asio::async_read(s, asio::buffer(head), [&](const boost::system::error_code& e2, std::size_t) {
      if (e2) return finish(e2);
      const auto length = response_data_length(head);
      if (!length) {
        malformed = true;
        return finish({});
      }
      response.assign(head.begin(), head.end());
      response.resize(header_size + *length);
      asio::async_read(s, asio::buffer(response.data() + header_size, *length),
                       [&](const boost::system::error_code& e3, std::size_t) { finish(e3); });
    });
  });
  if (!impl_->run(timeout_, done)) {
    error = "no response within " + std::to_string(timeout_.count()) + " ms";
    return code::timed_out;
  }
  if (io_error) {
    disconnect();
    error = io_error == asio::error::eof ? std::string("the controller closed the connection")
                                         : "connection lost (" + io_error.message() + ")";
    return code::connection_lost;
  }
  if (malformed) {
    disconnect();
    error = "the response header is not a 3E response header";
    return code::bad_response;
  }
  return code::ok;
}

}  // namespace kvt::plc::melsec::mc
