// A simulated Modbus TCP controller on loopback for the tests and the demo:
// libmodbus's own server side over a register map the owner reads and writes. It can be stopped (the
// controller goes away) and started again on the same port.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>

struct _modbus;
struct _modbus_mapping_t;

namespace kvt::test {

class modbus_test_server {
 public:
  // Coils, discrete inputs, holding and input registers 0..size-1 each;
  // requests beyond them are answered with an exception.
  // `port` 0 takes any free port.
  explicit modbus_test_server(int size = 1000, std::uint16_t port = 0);
  ~modbus_test_server();
  modbus_test_server(const modbus_test_server&) = delete;
  modbus_test_server& operator=(const modbus_test_server&) = delete;

  std::uint16_t port() const noexcept { return port_; }
  void stop();
  void start();

  void set_coil(int address, bool on);
  void set_discrete_input(int address, bool on);
  void set_holding_register(int address, std::uint16_t value);
  void set_input_register(int address, std::uint16_t value);
  bool coil(int address) const;
  std::uint16_t holding_register(int address) const;

  // Requests received so far (counted before each is answered).
  std::uint64_t requests() const noexcept { return requests_.load(); }

  // Answers a read or multiple write of more than `count` coils or
  // registers with an "illegal data value" exception, as a device with a
  // small request limit does; 0 (the default) refuses none.
  void refuse_beyond(int count) noexcept { refuse_beyond_.store(count); }
  // Requests refused that way so far.
  std::uint64_t refused() const noexcept { return refused_.load(); }

 private:
  void serve();

  _modbus* ctx_ = nullptr;
  _modbus_mapping_t* map_ = nullptr;
  mutable std::mutex mutex_;  // guards map_
  std::uint16_t port_ = 0;
  int listen_fd_ = -1;
  int wake_fd_[2] = {-1, -1};
  std::thread thread_;
  std::atomic<std::uint64_t> requests_{0};
  std::atomic<int> refuse_beyond_{0};
  std::atomic<std::uint64_t> refused_{0};
};

}  // namespace kvt::test
