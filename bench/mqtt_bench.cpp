// MQTT driver throughput against a mosquitto broker on loopback: messages
// per second from the broker into output slots (through the inbound
// queue), the queue on its own, and the publish rate of changed inputs at
// QoS 0, 1 and 2.
#include <benchmark/benchmark.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "mqtt/broker.hpp"
#include "mqtt/peer.hpp"
#include "plc/mqtt/driver.hpp"
#include "plc/mqtt/inbound_queue.hpp"
#include "plc/mqtt/tag.hpp"
#include "plc/tables.hpp"
#include "support/eventually.hpp"

namespace {

namespace mq = kvt::plc::mqtt;
namespace vt = kvt::plc::value_type;
using kvt::test::mosquitto_broker;
using kvt::test::mqtt_peer;

constexpr std::size_t topics = 100;

std::string topic_name(const char* prefix, std::size_t i) { return std::string(prefix) + std::to_string(i); }

std::unique_ptr<mq::driver> connected_driver(const mosquitto_broker& broker, const std::vector<std::uint64_t>& tags,
                                             const std::vector<std::string>& names, bool outputs) {
  auto d = std::make_unique<mq::driver>();
  kvt::plc::connection_params p;
  p.host = "127.0.0.1";
  p.port = broker.port();
  d->configure(p);
  if (outputs)
    kvt::plc::bind(d->outputs(), tags, names, 1);
  else
    kvt::plc::bind(d->inputs(), tags, names, 1);
  if (!d->connect()) throw std::runtime_error("driver did not connect");
  return d;
}

std::int32_t output_value(mq::driver& d, std::size_t i) {
  std::lock_guard lock(d.outputs().mutex);
  return d.outputs().values[i];
}

// Bursts of messages published by a device at QoS 0 over `topics` topics;
// an iteration ends when the burst's last value has reached its output.
void BM_BrokerToOutputs(benchmark::State& state) {
  const auto burst = static_cast<std::size_t>(state.range(0));
  mosquitto_broker broker;
  std::vector<std::uint64_t> tags(topics, mq::encode_tag(vt::s32, mq::payload_format::text, 0));
  std::vector<std::string> names;
  for (std::size_t i = 0; i < topics; ++i) names.push_back(topic_name("bench/out/", i));
  auto d = connected_driver(broker, tags, names, true);
  mqtt_peer device(broker.uri());
  // The subscriptions are in place once a retained value comes through.
  device.publish(names[0], "-1", true, 1);
  if (!kvt::test::eventually([&] { return output_value(*d, 0) == -1; })) {
    state.SkipWithError("no subscription");
    return;
  }
  std::int32_t value = 0;
  for (auto _ : state) {
    std::size_t last = 0;
    for (std::size_t k = 0; k < burst; ++k) {
      ++value;
      last = k % topics;
      device.publish(names[last], std::to_string(value), false, 0);
    }
    if (!kvt::test::eventually([&] { return output_value(*d, last) == value; }, std::chrono::seconds(30))) {
      state.SkipWithError("burst did not arrive");
      break;
    }
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * burst));
}
BENCHMARK(BM_BrokerToOutputs)->Arg(1000)->Unit(benchmark::kMillisecond)->UseRealTime();

// The queue alone: one producer thread, the benchmark thread consuming.
void BM_InboundQueue(benchmark::State& state) {
  const auto payload_size = static_cast<std::size_t>(state.range(0));
  constexpr std::size_t batch = 100'000;
  const std::string payload(payload_size, 'p');
  for (auto _ : state) {
    mq::inbound_queue q;
    std::thread producer([&] {
      for (std::size_t i = 0; i < batch; ++i)
        while (!q.push("plant/line/1", payload)) std::this_thread::yield();
    });
    std::size_t taken = 0;
    mq::inbound_message m;
    while (taken < batch)
      if (q.pop(m)) {
        benchmark::DoNotOptimize(m.payload.data());
        ++taken;
      }
    producer.join();
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * batch));
}
BENCHMARK(BM_InboundQueue)->Arg(8)->Arg(256)->Unit(benchmark::kMillisecond)->UseRealTime();

// Every one of `topics` inputs changes; an iteration ends when the device
// has received the last one. Items are published messages.
void BM_PublishChangedInputs(benchmark::State& state) {
  const auto qos = static_cast<std::uint32_t>(state.range(0));
  mosquitto_broker broker;
  mqtt_peer device(broker.uri());
  device.subscribe("bench/in/#", 0);
  std::vector<std::uint64_t> tags(topics, mq::encode_tag(vt::s32, mq::payload_format::text, qos));
  std::vector<std::string> names;
  for (std::size_t i = 0; i < topics; ++i) names.push_back(topic_name("bench/in/", i));
  auto d = connected_driver(broker, tags, names, false);
  const std::string& marker = names.back();
  if (!kvt::test::eventually([&] { return device.count(marker) != 0; }, std::chrono::seconds(30))) {
    state.SkipWithError("no first publish");
    return;
  }
  std::int32_t value = 0;
  for (auto _ : state) {
    ++value;
    {
      auto& in = d->inputs();
      std::lock_guard lock(in.mutex);
      for (std::size_t i = 0; i < topics; ++i) {
        in.values[i] = value;
        in.dirty[i] = true;
      }
    }
    const std::string expected = std::to_string(value);
    if (!kvt::test::eventually(
            [&] {
              const auto m = device.last(marker);
              return m && m->payload == expected;
            },
            std::chrono::seconds(30))) {
      state.SkipWithError("inputs did not arrive");
      break;
    }
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * topics));
}
BENCHMARK(BM_PublishChangedInputs)->ArgName("qos")->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
