// MQTT driver on the Paho synchronous client: every changed input is
// published as one retained message on its topic; messages arriving on an
// output's topic set that output. The string beside each signal is its topic.
// There is no scan period: the loop runs back to back while there is work
// and rests briefly when there is none.
#pragma once

#include <MQTTClient.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "plc/driver.hpp"
#include "plc/mqtt/client.hpp"
#include "plc/mqtt/inbound_queue.hpp"
#include "plc/mqtt/publish_batch.hpp"
#include "plc/mqtt/topics.hpp"

namespace kvt::plc::mqtt {

class driver final : public plc::driver<std::string> {
 public:
  driver();
  ~driver() override;

  std::int32_t protocol() const noexcept override;
  const std::string& host() const noexcept override { return host_; }
  void configure(const connection_params& params) override;
  connection_params parameters() const override;
  // A client exists and the library reports it connected.
  bool connected() const noexcept override;
  bool connect() override;
  void disconnect() override;
  void scan() override;

  // The identifier presented to the broker.
  const std::string& client_id() const noexcept { return client_id_; }
  // Messages the library has handed over since construction (diagnostics).
  std::uint64_t messages_received() const noexcept { return received_.load(std::memory_order_relaxed); }

 private:
  enum class step { idle, busy, link_lost };

  static int on_message(void* context, char* topic, int topic_len, MQTTClient_message* message);

  void close_link() noexcept;
  void forget_receive_state() noexcept;  // only while neither a scan nor a client runs
  step publish_phase(MQTTClient client);
  step receive_phase(MQTTClient client);
  bool rebuild_subscriptions(MQTTClient client, std::uint64_t generation);

  // Written by the command thread (configure, connect), which also reads them.
  std::string host_;
  std::atomic<std::int32_t> port_{1883};
  std::string username_;
  std::string password_;
  const std::string client_id_;

  // The link. `connect` and `disconnect` (possibly on a background thread)
  // swap it under the mutex; the scan thread uses the handle between them.
  mutable std::mutex link_mutex_;
  client client_;

  // The library's callback thread produces, the scan thread consumes.
  inbound_queue queue_;
  std::atomic<std::uint64_t> received_{0};
  // Callbacks running right now: the library may still be inside one for a
  // client it is destroying, so closing the link waits for them.
  std::atomic<std::int32_t> callbacks_running_{0};

  // Scan thread only.
  publish_batch batch_;
  subscription_map subscriptions_;
  std::optional<std::uint64_t> subscribed_generation_;
  std::vector<std::uint64_t> bound_tags_;
  std::vector<std::string> bound_topics_;
};

}  // namespace kvt::plc::mqtt
