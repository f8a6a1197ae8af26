// A simulated Modbus TCP controller for the demo, on 127.0.0.1. It moves a
// wave (holding register 0, 0..1000), a counter (holding register 1) and a
// running bit (coil 0), and prints what the page writes back: its step in
// holding register 10 and a flag in coil 5.
//
//   kvt_modbus_controller [--port=15020]
#include <csignal>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <thread>

#include "demo/controllers/modbus_server.hpp"

namespace {

volatile std::sig_atomic_t stop_requested = 0;
void request_stop(int) { stop_requested = 1; }

}  // namespace

int main(int argc, char** argv) {
  std::uint16_t port = 15020;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg.starts_with("--port=")) port = static_cast<std::uint16_t>(std::atoi(arg.substr(7).data()));
  }
  std::signal(SIGINT, request_stop);
  std::signal(SIGTERM, request_stop);

  kvt::test::modbus_test_server controller(100, port);
  std::printf("[controller] simulated Modbus TCP controller on 127.0.0.1:%u\n", controller.port());
  std::fflush(stdout);

  const auto start = std::chrono::steady_clock::now();
  std::uint16_t counter = 0;
  for (int tick = 0; stop_requested == 0; ++tick) {
    const double t = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    controller.set_holding_register(0, static_cast<std::uint16_t>(500 + 500 * std::sin(t * 1.5)));
    controller.set_holding_register(1, ++counter);
    controller.set_coil(0, (tick / 50) % 2 == 0);
    if (tick % 50 == 0) {
      std::printf("[controller] sent counter %u; the page wrote step %u, flag %d (%llu requests served)\n", counter,
                  controller.holding_register(10), controller.coil(5) ? 1 : 0,
                  static_cast<unsigned long long>(controller.requests()));
      std::fflush(stdout);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return 0;
}
