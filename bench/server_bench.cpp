// Round trip of a command over the WebSocket on loopback: "ServerStatus"
// from a registered page to its reply, against the real server thread.
#include <benchmark/benchmark.h>

#include <atomic>
#include <thread>

#include "support/server_fixture.hpp"
#include "support/ws_client.hpp"

namespace {

void BM_ServerStatusRoundTrip(benchmark::State& state) {
  kvt::test::server_fixture server;
  kvt::test::ws_client page(server.port());
  page.register_as_page();
  const std::string request = R"({"id":1,"type":"ServerStatus","data":{"host":"127.0.0.1"}})";
  for (auto _ : state) {
    page.send_text(request);
    auto reply = page.next_text();
    if (!reply) state.SkipWithError("no reply");
    benchmark::DoNotOptimize(reply);
  }
}
BENCHMARK(BM_ServerStatusRoundTrip)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
