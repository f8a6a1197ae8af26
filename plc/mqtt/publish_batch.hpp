// The retained messages one cycle publishes: the changed inputs' topics and
// payloads packed into one buffer that keeps its capacity between cycles.
#pragma once

#include <MQTTClient.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "plc/mqtt/tag.hpp"

namespace kvt::plc::mqtt {

struct publish_batch {
  struct entry {
    std::uint32_t index = 0;       // the input's index in its table
    std::size_t topic_at = 0;      // NUL-terminated topic in `bytes`
    std::size_t payload_at = 0;    // payload in `bytes`
    std::size_t payload_size = 0;
    int qos = 0;
    MQTTClient_deliveryToken token = 0;
    bool lost = false;       // not delivered for a passing reason: worth sending again
    bool confirmed = false;  // acknowledged by the broker (QoS 1 and 2)
  };

  std::uint64_t generation = 0;  // of the inputs table when collected
  std::string bytes;
  std::vector<entry> entries;

  void clear() noexcept {
    bytes.clear();
    entries.clear();
  }
  bool empty() const noexcept { return entries.empty(); }

  // Appends one message. False, leaving the batch as it was, for a value
  // type without a payload.
  bool add(std::uint32_t index, std::string_view topic, const tag_fields& fields, std::int32_t slot);

  const char* topic(const entry& e) const noexcept { return bytes.data() + e.topic_at; }
  void* payload(entry& e) noexcept { return bytes.data() + e.payload_at; }
};

// Acknowledged publishes the driver keeps in flight. Brokers take only so
// many unfinished QoS 1 and 2 messages per client (mosquitto: 20) and leave
// the rest unanswered, so the window stays at the library's own default of
// 10; the client is connected with a limit above it.
inline constexpr int max_in_flight = 10;

// Publishes every message of the batch, retained, in order, then waits (up
// to a second) for the acknowledgements of those above QoS 0. Marks as
// `lost` what the link failed to carry; a message the library refuses
// outright stays unmarked.
void publish(MQTTClient client, publish_batch& batch);

}  // namespace kvt::plc::mqtt
