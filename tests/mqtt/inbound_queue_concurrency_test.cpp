// The inbound queue with a real producer and consumer: a million messages of
// mixed sizes, some larger than a block, arrive complete and in order.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <thread>

#include "plc/mqtt/inbound_queue.hpp"

namespace kvt::test {
namespace {

using kvt::plc::mqtt::inbound_message;
using kvt::plc::mqtt::inbound_queue;

constexpr std::uint64_t message_count = 1'000'000;

std::size_t payload_size(std::uint64_t i) {
  if (i % 5'000 == 4'999) return inbound_queue::block_bytes + 1'000 + i % 7;  // needs a block of its own
  if (i % 97 == 0) return 0;
  return 8 + (i * 13) % 300;
}

// Sequence number first, then bytes that depend on it and their position.
void fill(std::string& payload, std::uint64_t i) {
  payload.resize(payload_size(i));
  if (payload.size() >= sizeof i) std::memcpy(payload.data(), &i, sizeof i);
  for (std::size_t k = sizeof i; k < payload.size(); ++k) payload[k] = static_cast<char>((i * 31 + k) & 0xFF);
}

std::string topic_of(std::uint64_t i) { return "plant/" + std::to_string(i % 11); }

TEST(MqttInboundQueueConcurrency, AMillionMessagesWithoutLossOrReordering) {
  inbound_queue q(std::size_t{16} << 20);  // small enough that the producer sometimes waits
  std::thread producer([&] {
    std::string payload;
    for (std::uint64_t i = 0; i < message_count; ++i) {
      fill(payload, i);
      const std::string topic = topic_of(i);
      while (!q.push(topic, payload)) std::this_thread::yield();
    }
  });

  std::string expected;
  std::uint64_t next = 0;
  std::uint64_t mismatches = 0;
  inbound_message m;
  while (next < message_count) {
    if (!q.pop(m)) {
      std::this_thread::yield();
      continue;
    }
    fill(expected, next);
    if (m.topic != topic_of(next) || m.payload != expected) {
      if (++mismatches < 5) ADD_FAILURE() << "message " << next << " arrived damaged or out of order";
    }
    ++next;
  }
  producer.join();
  EXPECT_EQ(mismatches, 0u);
  EXPECT_FALSE(q.pop(m)) << "nothing beyond what was sent";
}

}  // namespace
}  // namespace kvt::test
