// EtherNet/IP read phases against the tests' controller simulator on
// loopback, as the driver runs them: every DINT tag's read started with a
// time-out of 0, then each tag's status polled with sleeps growing by
// 10 us. Reports the time of one phase for 100 and 1,000 tags, and the
// requests (Send Unit Data) and packed requests (Multiple Service Packet)
// one phase takes.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "eip/eip_simulator.hpp"
#include "plc/eip/tags/plc_tag.hpp"

namespace {

namespace eip = kvt::plc::eip;
using kvt::test::eip_simulator;

// The driver's readiness wait.
bool wait_ready(const std::vector<std::int32_t>& tags) {
  long slept_us = 0;
  int sleeps = 0;
  for (const std::int32_t t : tags) {
    while (eip::plc_tag_status(t) != eip::status_ok) {
      const int d = 10 * (++sleeps);
      std::this_thread::sleep_for(std::chrono::microseconds(d));
      slept_us += d;
      if (slept_us > 1'000'000) return false;
    }
  }
  return true;
}

void BM_EipReadPhase(benchmark::State& state) {
  const auto n = static_cast<int>(state.range(0));
  eip_simulator controller;
  std::vector<std::int32_t> tags;
  for (int i = 0; i < n; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "Tag%04d", i);
    controller.add_tag(name, kvt::test::cip_type::dint);
    const std::string attributes = "protocol=ab-eip&gateway=127.0.0.1:" + std::to_string(controller.port()) +
                                   "&path=1,0&plc=controllogix&elem_size=4&name=" + name;
    tags.push_back(eip::plc_tag_create(attributes.c_str(), 0));
  }
  if (!wait_ready(tags)) {
    state.SkipWithError("tags not created");
    return;
  }
  const std::size_t requests_before = controller.unit_data_requests();
  const std::size_t packets_before = controller.multiple_service_packets();
  std::int64_t phases = 0;
  for (auto _ : state) {
    for (const std::int32_t t : tags) eip::plc_tag_read(t, 0);
    if (!wait_ready(tags)) {
      state.SkipWithError("read phase failed");
      break;
    }
    ++phases;
  }
  const double p = phases == 0 ? 1 : static_cast<double>(phases);
  state.counters["requests_per_cycle"] = static_cast<double>(controller.unit_data_requests() - requests_before) / p;
  state.counters["packets_per_cycle"] =
      static_cast<double>(controller.multiple_service_packets() - packets_before) / p;
  for (const std::int32_t t : tags) eip::plc_tag_destroy(t);
}
BENCHMARK(BM_EipReadPhase)->Arg(100)->Arg(1000)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
