#include "demo/controllers/modbus_server.hpp"

#include <modbus.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>
#include <vector>

namespace kvt::test {

namespace {

// The coils or registers a request asks to read or write at once; 0 for
// the single-element functions.
int quantity_of(const std::uint8_t* query, int header) {
  switch (query[header]) {
    case MODBUS_FC_READ_COILS:
    case MODBUS_FC_READ_DISCRETE_INPUTS:
    case MODBUS_FC_READ_HOLDING_REGISTERS:
    case MODBUS_FC_READ_INPUT_REGISTERS:
    case MODBUS_FC_WRITE_MULTIPLE_COILS:
    case MODBUS_FC_WRITE_MULTIPLE_REGISTERS: return query[header + 3] << 8 | query[header + 4];
    default: return 0;
  }
}

}  // namespace

modbus_test_server::modbus_test_server(int size, std::uint16_t port) : port_(port) {
  map_ = modbus_mapping_new(size, size, size, size);
  if (map_ == nullptr) throw std::runtime_error("modbus_mapping_new failed");
  start();
}

modbus_test_server::~modbus_test_server() {
  stop();
  modbus_mapping_free(map_);
}

void modbus_test_server::start() {
  if (thread_.joinable()) return;
  ctx_ = modbus_new_tcp("127.0.0.1", port_);  // port 0 the first time: any free port
  if (ctx_ == nullptr) throw std::runtime_error("modbus_new_tcp failed");
  listen_fd_ = modbus_tcp_listen(ctx_, 8);
  if (listen_fd_ < 0) throw std::runtime_error("modbus_tcp_listen failed");
  sockaddr_in addr{};
  socklen_t len = sizeof addr;
  getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len);
  port_ = ntohs(addr.sin_port);
  if (pipe(wake_fd_) != 0) throw std::runtime_error("pipe failed");
  thread_ = std::thread([this] { serve(); });
}

void modbus_test_server::stop() {
  if (!thread_.joinable()) return;
  const char b = 1;
  (void)!write(wake_fd_[1], &b, 1);
  thread_.join();
  close(wake_fd_[0]);
  close(wake_fd_[1]);
  close(listen_fd_);
  modbus_free(ctx_);
  ctx_ = nullptr;
}

void modbus_test_server::serve() {
  std::vector<int> clients;
  std::uint8_t query[MODBUS_TCP_MAX_ADU_LENGTH];
  for (;;) {
    fd_set fds;
    FD_ZERO(&fds);
    FD_SET(wake_fd_[0], &fds);
    FD_SET(listen_fd_, &fds);
    int top = std::max(wake_fd_[0], listen_fd_);
    for (const int c : clients) {
      FD_SET(c, &fds);
      top = std::max(top, c);
    }
    if (select(top + 1, &fds, nullptr, nullptr, nullptr) < 0) continue;
    if (FD_ISSET(wake_fd_[0], &fds)) break;
    if (FD_ISSET(listen_fd_, &fds)) {
      const int c = accept(listen_fd_, nullptr, nullptr);
      if (c >= 0) clients.push_back(c);
    }
    for (auto it = clients.begin(); it != clients.end();) {
      if (!FD_ISSET(*it, &fds)) {
        ++it;
        continue;
      }
      modbus_set_socket(ctx_, *it);
      const int n = modbus_receive(ctx_, query);
      if (n > 0) {
        std::lock_guard lock(mutex_);
        // Counted before the answer leaves: whoever has the answer sees the count.
        requests_.fetch_add(1);
        const int limit = refuse_beyond_.load();
        if (limit > 0 && quantity_of(query, modbus_get_header_length(ctx_)) > limit) {
          refused_.fetch_add(1);
          modbus_reply_exception(ctx_, query, MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE);
        } else {
          modbus_reply(ctx_, query, n, map_);
        }
        ++it;
      } else if (n == 0) {
        ++it;  // not for this unit
      } else {
        close(*it);
        it = clients.erase(it);
      }
    }
  }
  for (const int c : clients) close(c);
}

void modbus_test_server::set_coil(int address, bool on) {
  std::lock_guard lock(mutex_);
  map_->tab_bits[address] = on ? 1 : 0;
}

void modbus_test_server::set_discrete_input(int address, bool on) {
  std::lock_guard lock(mutex_);
  map_->tab_input_bits[address] = on ? 1 : 0;
}

void modbus_test_server::set_holding_register(int address, std::uint16_t value) {
  std::lock_guard lock(mutex_);
  map_->tab_registers[address] = value;
}

void modbus_test_server::set_input_register(int address, std::uint16_t value) {
  std::lock_guard lock(mutex_);
  map_->tab_input_registers[address] = value;
}

bool modbus_test_server::coil(int address) const {
  std::lock_guard lock(mutex_);
  return map_->tab_bits[address] != 0;
}

std::uint16_t modbus_test_server::holding_register(int address) const {
  std::lock_guard lock(mutex_);
  return map_->tab_registers[address];
}

}  // namespace kvt::test
