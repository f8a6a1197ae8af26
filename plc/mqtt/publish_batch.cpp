#include "plc/mqtt/publish_batch.hpp"

#include "plc/mqtt/payload.hpp"

namespace kvt::plc::mqtt {

namespace {

constexpr unsigned long completion_timeout_ms = 1000;

// Failures that say nothing about the message itself: the link is down,
// busy or the acknowledgement is late.
bool passing_failure(int rc) noexcept {
  return rc == MQTTCLIENT_FAILURE || rc == MQTTCLIENT_DISCONNECTED || rc == MQTTCLIENT_MAX_MESSAGES_INFLIGHT;
}

bool awaits_ack(const publish_batch::entry& e) noexcept { return e.token != 0 && e.qos > 0 && !e.lost; }

// Waits for the acknowledgements of entries [from, to) in order. The first
// failure ends the waiting: that entry and every later one still waiting
// count as lost, since on a broken link each would wait out its own time-out.
void wait_for_acks(MQTTClient client, publish_batch& batch, std::size_t from, std::size_t to) {
  for (std::size_t i = from; i < to; ++i) {
    auto& e = batch.entries[i];
    if (!awaits_ack(e)) continue;
    if (MQTTClient_waitForCompletion(client, e.token, completion_timeout_ms) == MQTTCLIENT_SUCCESS) continue;
    for (std::size_t j = i; j < to; ++j)
      if (awaits_ack(batch.entries[j])) batch.entries[j].lost = true;
    return;
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
  for (std::size_t i = 0; i < batch.entries.size(); ++i) {
    auto& e = batch.entries[i];
    MQTTClient_message m = MQTTClient_message_initializer;
    m.payload = batch.payload(e);  // never null, even for an empty payload
    m.payloadlen = static_cast<int>(e.payload_size);
    m.qos = e.qos;
    m.retained = 1;
    int rc = MQTTClient_publishMessage(client, batch.topic(e), &m, &e.token);
    if (rc == MQTTCLIENT_MAX_MESSAGES_INFLIGHT) {
      // The library keeps only so many unacknowledged messages: let the
      // earlier ones complete, then offer this one again.
      wait_for_acks(client, batch, acked_up_to, i);
      acked_up_to = i;
      rc = MQTTClient_publishMessage(client, batch.topic(e), &m, &e.token);
    }
    if (rc != MQTTCLIENT_SUCCESS) {
      e.token = 0;
      e.lost = passing_failure(rc);
    }
  }
  wait_for_acks(client, batch, acked_up_to, batch.entries.size());
}

}  // namespace kvt::plc::mqtt
