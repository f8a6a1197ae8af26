// S7 against Snap7's server on loopback: how long one request and its
// answer take (the client's read of one REAL), and how long one scan cycle
// of the driver takes (nothing to write, every output read) for 100 and
// 1,000 REAL outputs, and how many requests a cycle needs at the PDU length
// the server grants (the client asks for 480).
#include <benchmark/benchmark.h>

#include <netinet/in.h>
#include <snap7.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <thread>
#include <vector>

#include "plc/connection_params.hpp"
#include "plc/s7/driver.hpp"
#include "plc/s7/tag.hpp"
#include "plc/tables.hpp"

namespace {

using namespace kvt;

std::uint16_t free_loopback_port() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0)
    throw std::runtime_error("no free port");
  ::close(fd);
  return ntohs(a.sin_port);
}

// Snap7's server with data block 1 of 4,096 bytes.
class local_controller {
 public:
  local_controller() : server_(Srv_Create()), db_(4096, 0), port_(free_loopback_port()) {
    Srv_RegisterArea(server_, srvAreaDB, 1, db_.data(), static_cast<int>(db_.size()));
    Srv_SetParam(server_, p_u16_LocalPort, &port_);
    if (Srv_StartTo(server_, "127.0.0.1") != 0) throw std::runtime_error("S7 server did not start");
  }
  ~local_controller() {
    Srv_Stop(server_);
    Srv_Destroy(&server_);
  }
  local_controller(const local_controller&) = delete;
  local_controller& operator=(const local_controller&) = delete;
  std::uint16_t port() const { return port_; }

 private:
  S7Object server_;
  std::vector<std::uint8_t> db_;
  std::uint16_t port_;
};

// One read request of four bytes and its answer, through Snap7's client.
void BM_S7Request(benchmark::State& state) {
  local_controller controller;
  S7Object client = Cli_Create();
  std::uint16_t port = controller.port();
  Cli_SetParam(client, p_u16_RemotePort, &port);
  Cli_SetConnectionParams(client, "127.0.0.1", plc::s7::driver::local_tsap, 0x0201);
  if (Cli_Connect(client) != 0) {
    state.SkipWithError("client did not connect");
    Cli_Destroy(&client);
    return;
  }
  std::uint8_t data[4] = {};
  for (auto _ : state)
    if (Cli_DBRead(client, 1, 0, sizeof data, data) != 0) {
      state.SkipWithError("read failed");
      break;
    }
  Cli_Disconnect(client);
  Cli_Destroy(&client);
}
BENCHMARK(BM_S7Request)->UseRealTime()->Unit(benchmark::kMicrosecond);

void wait_next_read(const plc::outputs_base& out) {
  const std::uint32_t target = out.read_count.load() + 1;
  while (out.read_count.load() < target) std::this_thread::yield();
}

void BM_S7Cycle(benchmark::State& state) {
  const auto n = static_cast<std::uint32_t>(state.range(0));
  local_controller controller;
  plc::s7::driver d;
  plc::connection_params p;
  p.host = "127.0.0.1";
  p.port = controller.port();
  p.scan_rate = 0;  // back to back: a cycle lasts as long as its requests
  d.configure(p);
  std::vector<std::uint64_t> tags;
  for (std::uint32_t i = 0; i < n; ++i)
    tags.push_back(plc::s7::encode_tag(plc::s7::area::data_block, i * 4, plc::value_type::real, 0, 1));
  plc::bind(d.outputs(), tags, 1);
  if (!d.connect()) {
    state.SkipWithError("driver did not connect");
    return;
  }
  wait_next_read(d.outputs());

  const std::int32_t pdu = d.pdu_length();
  const std::uint32_t reads_before = d.outputs().read_count.load();
  const std::uint64_t requests_before = d.requests_sent();
  const auto start = std::chrono::steady_clock::now();
  for (auto _ : state) wait_next_read(d.outputs());
  const std::uint32_t cycles = d.outputs().read_count.load() - reads_before;
  const std::uint64_t requests = d.requests_sent() - requests_before;
  const std::chrono::duration<double, std::micro> elapsed = std::chrono::steady_clock::now() - start;
  d.disconnect();

  state.counters["pdu"] = pdu;
  state.counters["requests_per_cycle"] = cycles == 0 ? 0 : static_cast<double>(requests) / cycles;
  // The time of a cycle as the scan ran it: on a busy machine this thread
  // may notice a read late, and an iteration then spans several cycles.
  state.counters["cycle_us"] = cycles == 0 ? 0 : elapsed.count() / cycles;
}
BENCHMARK(BM_S7Cycle)->Arg(100)->Arg(1000)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
