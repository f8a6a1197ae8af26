#include "plc/mqtt/publish_batch.hpp"

#include <chrono>
#include <thread>

#include "plc/mqtt/payload.hpp"

namespace kvt::plc::mqtt {

namespace {

constexpr auto completion_timeout = std::chrono::milliseconds(1000);
constexpr auto ack_poll_pause = std::chrono::microseconds(20);

// Failures that say nothing about the message itself: the link is down,
// busy or the acknowledgement is late.
bool passing_failure(int rc) noexcept {
  return rc == MQTTCLIENT_FAILURE || rc == MQTTCLIENT_DISCONNECTED || rc == MQTTCLIENT_MAX_MESSAGES_INFLIGHT;
}

bool awaits_ack(const publish_batch::entry& e) noexcept {
  return e.token != 0 && e.qos > 0 && !e.lost && !e.confirmed;
}

bool contains(const MQTTClient_deliveryToken* pending, MQTTClient_deliveryToken token) noexcept {
  if (pending == nullptr) return false;
  for (; *pending != -1; ++pending)
    if (*pending == token) return true;
  return false;
}

// Waits until the broker has acknowledged entries [from, to), at most one
// second; what is still unacknowledged then counts as lost.
//
// The library's own wait sleeps 100 ms per look once its receive thread
// runs, which would hold every acknowledged publish back that long; the
// pending tokens are looked at directly instead, with short pauses between.
// A token that has left the pending list was acknowledged, unless the link
// dropped (the library empties the list when it closes a clean session):
// the link is checked after each look, and tokens that vanished together
// with it count as lost.
void wait_for_acks(MQTTClient client, publish_batch& batch, std::size_t from, std::size_t to) {
  const auto deadline = std::chrono::steady_clock::now() + completion_timeout;
  for (;;) {
    MQTTClient_deliveryToken* pending = nullptr;
    const bool listed = MQTTClient_getPendingDeliveryTokens(client, &pending) == MQTTCLIENT_SUCCESS;
    const bool linked = MQTTClient_isConnected(client) != 0;
    bool waiting = false;
    for (std::size_t i = from; i < to; ++i) {
      auto& e = batch.entries[i];
      if (!awaits_ack(e)) continue;
      if (!listed || !linked)
        e.lost = true;
      else if (contains(pending, e.token))
        waiting = true;
      else
        e.confirmed = true;
    }
    if (pending != nullptr) MQTTClient_free(pending);
    if (!waiting) return;
    if (std::chrono::steady_clock::now() >= deadline) {
      for (std::size_t i = from; i < to; ++i)
        if (awaits_ack(batch.entries[i])) batch.entries[i].lost = true;
      return;
    }
    std::this_thread::sleep_for(ack_poll_pause);
  }
}

}  // namespace

bool publish_batch::add(std::uint32_t index, std::string_view topic, const tag_fields& fields, std::int32_t slot) {
  const std::size_t start = bytes.size();
  entry e;
  e.index = index;
  e.qos = static_cast<int>(fields.qos);
  e.topic_at = start;
  bytes.append(topic);
  bytes.push_back('\0');
  e.payload_at = bytes.size();
  if (!append_payload(bytes, fields.type, fields.format, slot)) {
    bytes.resize(start);
    return false;
  }
  e.payload_size = bytes.size() - e.payload_at;
  entries.push_back(e);
  return true;
}

void publish(MQTTClient client, publish_batch& batch) {
  std::size_t acked_up_to = 0;  // entries before this were waited for
  int in_flight = 0;            // acknowledged publishes sent since then
  for (std::size_t i = 0; i < batch.entries.size(); ++i) {
    auto& e = batch.entries[i];
    if (e.qos > 0 && in_flight >= max_in_flight) {
      // Never let the library reach its own limit: it would sleep inside
      // the publish call in steps of 100 ms.
      wait_for_acks(client, batch, acked_up_to, i);
      acked_up_to = i;
      in_flight = 0;
    }
    MQTTClient_message m = MQTTClient_message_initializer;
    m.payload = batch.payload(e);  // never null, even for an empty payload
    m.payloadlen = static_cast<int>(e.payload_size);
    m.qos = e.qos;
    m.retained = 1;
    const int rc = MQTTClient_publishMessage(client, batch.topic(e), &m, &e.token);
    if (rc != MQTTCLIENT_SUCCESS) {
      e.token = 0;
      e.lost = passing_failure(rc);
    } else if (e.qos > 0) {
      ++in_flight;
    }
  }
  wait_for_acks(client, batch, acked_up_to, batch.entries.size());
}

}  // namespace kvt::plc::mqtt
