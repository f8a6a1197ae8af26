#include "melsec/melsec_simulator.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <string>

#include "melsec/melsec_sim_commands.hpp"

namespace kvt::test {

using le::bytes;
using le::put_u16;
using le::put_u8;
using le::reader;
using melsec_sim::kind;
namespace end_code = melsec_sim::end_code;

namespace {

constexpr auto poll_step = std::chrono::milliseconds(50);
constexpr std::size_t header_size = 9;       // subheader .. request data length
constexpr std::size_t largest_request = 8192;  // request data length past this closes the connection
constexpr std::size_t timer_command_size = 6;  // monitoring timer, command, subcommand

// The routing fields of a request to the CPU whose port this is.
constexpr std::uint8_t own_network = 0x00;
constexpr std::uint8_t own_pc = 0xFF;
constexpr std::uint16_t own_module_io = 0x03FF;
constexpr std::uint8_t own_station = 0x00;

bool read_exact(int fd, std::uint8_t* out, std::size_t n, const std::atomic<bool>& stop) {
  std::size_t got = 0;
  while (got < n) {
    if (stop.load()) return false;
    pollfd p{fd, POLLIN, 0};
    const int r = ::poll(&p, 1, static_cast<int>(poll_step.count()));
    if (r < 0) return false;
    if (r == 0) continue;
    const ssize_t k = ::recv(fd, out + got, n - got, 0);
    if (k <= 0) return false;
    got += static_cast<std::size_t>(k);
  }
  return true;
}

void send_all(int fd, const std::uint8_t* data, std::size_t n) {
  std::size_t sent = 0;
  while (sent < n) {
    const ssize_t k = ::send(fd, data + sent, n - sent, MSG_NOSIGNAL);
    if (k <= 0) return;
    sent += static_cast<std::size_t>(k);
  }
}

}  // namespace

struct melsec_simulator::client {
  explicit client(int f) : fd(f) {}
  ~client() { ::close(fd); }
  client(const client&) = delete;
  client& operator=(const client&) = delete;
  const int fd;
  std::atomic<bool> done{false};
};

// --- lifetime ------------------------------------------------------------------

melsec_simulator::melsec_simulator(std::uint16_t port) : port_(port) { start(); }

melsec_simulator::~melsec_simulator() { stop(); }

std::uint16_t melsec_simulator::port() const { return port_; }

void melsec_simulator::open_listener() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw std::runtime_error("melsec simulator: socket");
  const int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(port_);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, 16) != 0) {
    ::close(fd);
    throw std::runtime_error("melsec simulator: cannot listen on 127.0.0.1:" + std::to_string(port_));
  }
  socklen_t len = sizeof addr;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  port_ = ntohs(addr.sin_port);
  listen_fd_ = fd;
}

void melsec_simulator::start() {
  if (running_.load()) return;
  open_listener();
  stop_.store(false);
  running_.store(true);
  acceptor_ = std::thread([this] { accept_loop(); });
}

void melsec_simulator::stop() {
  if (!running_.load()) return;
  stop_.store(true);
  acceptor_.join();
  ::close(listen_fd_);
  listen_fd_ = -1;
  std::vector<std::pair<std::thread, std::shared_ptr<client>>> finishing;
  {
    std::lock_guard lock(clients_mutex_);
    for (auto& entry : clients_) ::shutdown(entry.second->fd, SHUT_RDWR);
    finishing.swap(clients_);
  }
  for (auto& entry : finishing) entry.first.join();
  running_.store(false);
}

void melsec_simulator::set_drop_connections(bool drop) { drop_.store(drop); }

void melsec_simulator::accept_loop() {
  while (!stop_.load()) {
    pollfd p{listen_fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(poll_step.count())) <= 0) continue;
    const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    {
      std::lock_guard lock(mutex_);
      ++accepted_;
      ++open_;
    }
    auto c = std::make_shared<client>(fd);
    std::lock_guard lock(clients_mutex_);
    for (auto it = clients_.begin(); it != clients_.end();) {
      if (it->second->done.load()) {
        it->first.join();
        it = clients_.erase(it);
      } else {
        ++it;
      }
    }
    clients_.emplace_back(std::thread([this, c] { serve(c); }), c);
  }
}

void melsec_simulator::serve(const std::shared_ptr<client>& c) {
  bytes header(header_size);
  bytes body;
  while (!stop_.load()) {
    if (!read_exact(c->fd, header.data(), 2, stop_)) break;
    if (header[0] != 0x50 || header[1] != 0x00) break;  // not a 3E request
    if (!read_exact(c->fd, header.data() + 2, header_size - 2, stop_)) break;
    const std::size_t length = reader(header.data() + 7, 2).u16();
    if (length > largest_request) break;
    body.resize(length);
    if (length > 0 && !read_exact(c->fd, body.data(), length, stop_)) break;
    if (drop_.load()) break;
    const bytes reply = answer(header, body);
    send_all(c->fd, reply.data(), reply.size());
  }
  ::shutdown(c->fd, SHUT_RDWR);
  {
    std::lock_guard lock(mutex_);
    --open_;
  }
  c->done.store(true);
}

// --- framing ---------------------------------------------------------------------

bytes melsec_simulator::answer(const bytes& header, const bytes& body) {
  reader h(header);
  h.skip(2);
  const std::uint8_t network = h.u8();
  const std::uint8_t pc = h.u8();
  const std::uint16_t module_io = h.u16();
  const std::uint8_t station = h.u8();
  reader b(body);
  b.u16();  // monitoring timer: every request is answered at once
  const std::uint16_t command = b.u16();
  const std::uint16_t subcommand = b.u16();

  melsec_sim::outcome out;
  {
    std::lock_guard lock(mutex_);
    ++requests_;
    ++by_command_[command];
    if (body.size() < timer_command_size) {
      out.end_code = end_code::bad_length;
    } else if (network != own_network || pc != own_pc || module_io != own_module_io || station != own_station) {
      out.end_code = end_code::other_station;
    } else {
      out = melsec_sim::execute(memory_, command, subcommand, bytes(body.begin() + timer_command_size, body.end()));
    }
  }

  bytes r;
  put_u8(r, 0xD0);
  put_u8(r, 0x00);
  put_u8(r, network);
  put_u8(r, pc);
  put_u16(r, module_io);
  put_u8(r, station);
  put_u16(r, 0);  // response data length, set below
  put_u16(r, out.end_code);
  if (out.end_code == end_code::ok) {
    le::put_bytes(r, out.data);
  } else {
    put_u8(r, network);
    put_u8(r, pc);
    put_u16(r, module_io);
    put_u8(r, station);
    put_u16(r, command);
    put_u16(r, subcommand);
  }
  le::set_u16(r, 7, static_cast<std::uint32_t>(r.size() - header_size));
  return r;
}

// --- device memory ------------------------------------------------------------------

const melsec_sim::device_info& melsec_simulator::checked(std::string_view device, std::uint32_t number,
                                                        kind type) const {
  const melsec_sim::device_info* d = melsec_sim::find_device(device);
  if (d == nullptr) throw std::invalid_argument("melsec simulator: unknown device " + std::string(device));
  if (d->type != type) throw std::invalid_argument("melsec simulator: wrong kind of device " + std::string(device));
  if (number >= d->points) {
    throw std::invalid_argument("melsec simulator: " + std::string(device) + std::to_string(number) +
                                " is past the device's last number");
  }
  return *d;
}

std::uint16_t melsec_simulator::word(std::string_view device, std::uint32_t number) const {
  const auto& d = checked(device, number, kind::word);
  std::lock_guard lock(mutex_);
  return memory_.word(d, number);
}

void melsec_simulator::set_word(std::string_view device, std::uint32_t number, std::uint16_t value) {
  const auto& d = checked(device, number, kind::word);
  std::lock_guard lock(mutex_);
  memory_.set_word(d, number, value);
}

bool melsec_simulator::bit(std::string_view device, std::uint32_t number) const {
  const auto& d = checked(device, number, kind::bit);
  std::lock_guard lock(mutex_);
  return memory_.bit(d, number);
}

void melsec_simulator::set_bit(std::string_view device, std::uint32_t number, bool value) {
  const auto& d = checked(device, number, kind::bit);
  std::lock_guard lock(mutex_);
  memory_.set_bit(d, number, value);
}

std::uint32_t melsec_simulator::dword(std::string_view device, std::uint32_t number) const {
  const auto& d = checked(device, number, kind::dword);
  std::lock_guard lock(mutex_);
  return memory_.dword(d, number);
}

void melsec_simulator::set_dword(std::string_view device, std::uint32_t number, std::uint32_t value) {
  const auto& d = checked(device, number, kind::dword);
  std::lock_guard lock(mutex_);
  memory_.set_dword(d, number, value);
}

// --- counters ----------------------------------------------------------------------

std::size_t melsec_simulator::requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

std::size_t melsec_simulator::requests(std::uint16_t command) const {
  std::lock_guard lock(mutex_);
  const auto it = by_command_.find(command);
  return it == by_command_.end() ? 0 : it->second;
}

std::size_t melsec_simulator::connections_accepted() const {
  std::lock_guard lock(mutex_);
  return accepted_;
}

std::size_t melsec_simulator::connections_open() const {
  std::lock_guard lock(mutex_);
  return open_;
}

}  // namespace kvt::test
