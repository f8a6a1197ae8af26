// The inbound queue on one thread: order, block boundaries, large messages,
// discarding and the memory limit.
#include <gtest/gtest.h>

#include <string>

#include "plc/mqtt/inbound_queue.hpp"

namespace kvt::test {
namespace {

using kvt::plc::mqtt::inbound_message;
using kvt::plc::mqtt::inbound_queue;

TEST(MqttInboundQueue, MessagesComeOutInOrderAcrossBlocks) {
  inbound_queue q;
  inbound_message m;
  EXPECT_FALSE(q.pop(m));
  const std::string big(inbound_queue::block_bytes * 2 + 17, 'B');
  for (int i = 0; i < 5000; ++i) {
    ASSERT_TRUE(q.push("t/" + std::to_string(i), i % 1000 == 999 ? big : std::string(static_cast<std::size_t>(i % 50), 'p')));
  }
  for (int i = 0; i < 5000; ++i) {
    ASSERT_TRUE(q.pop(m)) << i;
    EXPECT_EQ(m.topic, "t/" + std::to_string(i));
    EXPECT_EQ(m.payload.size(), i % 1000 == 999 ? big.size() : static_cast<std::size_t>(i % 50));
  }
  EXPECT_FALSE(q.pop(m));
}

TEST(MqttInboundQueue, EmptyTopicsAndPayloadsAndBinaryBytes) {
  inbound_queue q;
  ASSERT_TRUE(q.push("", ""));
  ASSERT_TRUE(q.push(std::string("a\0b", 3), std::string("\0\xFF", 2)));
  inbound_message m;
  ASSERT_TRUE(q.pop(m));
  EXPECT_EQ(m.topic, "");
  EXPECT_EQ(m.payload, "");
  ASSERT_TRUE(q.pop(m));
  EXPECT_EQ(m.topic, std::string_view("a\0b", 3));
  EXPECT_EQ(m.payload, std::string_view("\0\xFF", 2));
}

TEST(MqttInboundQueue, DiscardDropsEverythingWaiting) {
  inbound_queue q;
  for (int i = 0; i < 10'000; ++i) ASSERT_TRUE(q.push("x", std::string(40, 'x')));
  q.discard();
  inbound_message m;
  EXPECT_FALSE(q.pop(m));
  ASSERT_TRUE(q.push("after", "1"));
  ASSERT_TRUE(q.pop(m));
  EXPECT_EQ(m.topic, "after");
}

TEST(MqttInboundQueue, RefusesMessagesBeyondItsLimitUntilTheConsumerCatchesUp) {
  inbound_queue q(inbound_queue::block_bytes * 3);
  const std::string chunk(inbound_queue::block_bytes / 2, 'c');
  int pushed = 0;
  while (q.push("t", chunk)) ++pushed;
  EXPECT_GE(pushed, 3);
  EXPECT_LE(q.held_bytes(), inbound_queue::block_bytes * 3);
  inbound_message m;
  for (int i = 0; i < pushed; ++i) ASSERT_TRUE(q.pop(m));
  EXPECT_FALSE(q.pop(m));
  EXPECT_TRUE(q.push("t", chunk)) << "retired blocks make room again";
  ASSERT_TRUE(q.pop(m));
  EXPECT_EQ(m.payload.size(), chunk.size());
}

}  // namespace
}  // namespace kvt::test
