// The bridge wrappers against the stand-in library: the records' bytes as the
// library receives them, failures and their messages, and shutdown.
#include <gtest/gtest.h>

#include <cstring>

#include "ros2/bridge.hpp"
#include "ros2/ros_buffer_exchange.hpp"
#include "standin_control.hpp"

namespace kvt::test {
namespace {

using namespace kvt::ros2;

template <class T>
T read_at(const std::vector<unsigned char>& bytes, std::size_t offset) {
  T value{};
  std::memcpy(&value, bytes.data() + offset, sizeof(T));
  return value;
}

void initialize() {
  std::string message;
  ASSERT_TRUE(bridge_initialize(message)) << message;
  EXPECT_EQ(message, "");
}

TEST(Bridge, EveryCallBeforeInitialisationIsRefused) {
  std::string message = "old";
  handle h = 77;
  EXPECT_FALSE(bridge_reset(message));
  EXPECT_EQ(message, "ROS2 bridge is not initialized");
  EXPECT_FALSE(bridge_create_node("n", "", {}, h, message));
  EXPECT_EQ(h, 0u);
  EXPECT_EQ(message, "ROS2 bridge is not initialized");
  h = 5;
  EXPECT_FALSE(bridge_create_endpoint(endpoint_kind::publisher, 1, "t", "std_msgs/msg/String", {}, h, message));
  EXPECT_EQ(h, 0u);
  EXPECT_EQ(message, "ROS2 bridge is not initialized");
  EXPECT_FALSE(bridge_destroy_handle(1, message));
  EXPECT_EQ(message, "ROS2 bridge is not initialized");
  std::uint32_t buffer[4] = {1, 0, 0, 16};
  EXPECT_FALSE(bridge_read_subscriptions(buffer, sizeof buffer, message));
  EXPECT_EQ(message, "ROS2 bridge is not initialized");
  EXPECT_FALSE(bridge_process_batch(buffer, sizeof buffer, message));
  EXPECT_EQ(message, "ROS2 bridge is not initialized");
  bridge_shutdown();
  EXPECT_TRUE(standin().calls().empty());
}

TEST(Bridge, InitialiseRecordAndSecondInitialise) {
  const standin lib;
  initialize();
  initialize();
  const auto calls = lib.calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0], "nodegate_initialize reserved=0 capacity=4096 zeroed=1");
  const auto bytes = lib.record_bytes(0);
  ASSERT_EQ(bytes.size(), 24u);
  EXPECT_EQ(read_at<std::uint64_t>(bytes, 0), 0u);
  EXPECT_NE(read_at<const char*>(bytes, 8), nullptr);
  EXPECT_EQ(read_at<std::uint32_t>(bytes, 16), 4096u);
  EXPECT_EQ(read_at<std::uint32_t>(bytes, 20), 0u);
}

TEST(Bridge, InitialisationFailureCarriesTheLibraryText) {
  const standin lib;
  lib.fail("nodegate_initialize", "no \"middleware\"\tthere");
  std::string message;
  EXPECT_FALSE(bridge_initialize(message));
  EXPECT_EQ(message, "no \"middleware\"\tthere");
  lib.fail("nodegate_initialize", "");
  EXPECT_FALSE(bridge_initialize(message));
  EXPECT_EQ(message, "ROS2 bridge initialization failed");
  EXPECT_FALSE(bridge_reset(message));
  EXPECT_EQ(message, "ROS2 bridge is not initialized");
}

TEST(Bridge, NodeRecordWithAndWithoutRemappings) {
  const standin lib;
  initialize();
  handle h = 0;
  std::string message;
  ASSERT_TRUE(bridge_create_node("talker", "/demo", {{"chatter", "/news"}, {"__node", "speaker"}}, h, message));
  EXPECT_EQ(h, 1u);
  ASSERT_TRUE(bridge_create_node("listener", "", {}, h, message));
  EXPECT_EQ(h, 2u);
  const auto calls = lib.calls();
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(calls[1], "nodegate_create_node name=talker namespace=/demo count=2 remappings=chatter:=/news;__node:=speaker;");
  EXPECT_EQ(calls[2], "nodegate_create_node name=listener namespace= count=0 remappings=(null)");
  for (std::size_t call : {1u, 2u}) {
    const auto bytes = lib.record_bytes(call);
    ASSERT_EQ(bytes.size(), 32u);
    EXPECT_EQ(read_at<std::uint32_t>(bytes, 24), call == 1 ? 2u : 0u);
    EXPECT_EQ(read_at<std::uint32_t>(bytes, 28), 0u);
  }
  EXPECT_EQ(read_at<const void*>(lib.record_bytes(2), 16), nullptr);

  lib.fail("nodegate_create_node", "");
  h = 9;
  EXPECT_FALSE(bridge_create_node("third", "", {}, h, message));
  EXPECT_EQ(h, 0u);
  EXPECT_EQ(message, "Failed to create node: third");
}

TEST(Bridge, EndpointRecordWithEveryQosFieldSet) {
  const standin lib;
  initialize();
  qos_record qos;
  qos.reliability_set = 1;
  qos.reliability = 2;
  qos.durability_set = 1;
  qos.durability = 1;
  qos.history_set = 1;
  qos.history = 3;
  qos.liveliness_set = 1;
  qos.liveliness = 5;
  qos.depth_set = 1;
  qos.depth = 4294967295u;
  qos.deadline_set = 1;
  qos.deadline = 0.25;
  qos.lifespan_set = 1;
  qos.lifespan = 1.5;
  qos.liveliness_lease_duration_set = 1;
  qos.liveliness_lease_duration = 10;
  qos.avoid_ros_namespace_conventions_set = 1;
  qos.avoid_ros_namespace_conventions = 1;
  handle h = 0;
  std::string message;
  ASSERT_TRUE(bridge_create_endpoint(endpoint_kind::subscription, 0xFFFFFFF0u, "/chatter", "std_msgs/msg/String", qos, h,
                                     message));
  const auto calls = lib.calls();
  EXPECT_EQ(calls.back(), "nodegate_create_subscription node=4294967280 name=/chatter type=std_msgs/msg/String");
  const auto b = lib.record_bytes(calls.size() - 1);
  ASSERT_EQ(b.size(), 120u);
  EXPECT_EQ(read_at<std::uint32_t>(b, 0), 0xFFFFFFF0u);
  EXPECT_EQ(read_at<std::uint32_t>(b, 4), 0u);
  EXPECT_EQ(b[24], 1);
  EXPECT_EQ(read_at<std::uint32_t>(b, 28), 2u);
  EXPECT_EQ(b[32], 1);
  EXPECT_EQ(read_at<std::uint32_t>(b, 36), 1u);
  EXPECT_EQ(b[40], 1);
  EXPECT_EQ(read_at<std::uint32_t>(b, 44), 3u);
  EXPECT_EQ(b[48], 1);
  EXPECT_EQ(read_at<std::uint32_t>(b, 52), 5u);
  EXPECT_EQ(b[56], 1);
  EXPECT_EQ(read_at<std::uint32_t>(b, 60), 4294967295u);
  EXPECT_EQ(b[64], 1);
  EXPECT_EQ(read_at<double>(b, 72), 0.25);
  EXPECT_EQ(b[80], 1);
  EXPECT_EQ(read_at<double>(b, 88), 1.5);
  EXPECT_EQ(b[96], 1);
  EXPECT_EQ(read_at<double>(b, 104), 10.0);
  EXPECT_EQ(b[112], 1);
  EXPECT_EQ(b[113], 1);
  // Every byte that carries nothing is zero.
  for (std::size_t i : {25, 26, 27, 33, 34, 35, 41, 42, 43, 49, 50, 51, 57, 58, 59}) EXPECT_EQ(b[i], 0) << i;
  for (std::size_t i = 65; i < 72; ++i) EXPECT_EQ(b[i], 0) << i;
  for (std::size_t i = 81; i < 88; ++i) EXPECT_EQ(b[i], 0) << i;
  for (std::size_t i = 97; i < 104; ++i) EXPECT_EQ(b[i], 0) << i;
  for (std::size_t i = 114; i < 120; ++i) EXPECT_EQ(b[i], 0) << i;
}

TEST(Bridge, EndpointRecordWithNoQosFieldSet) {
  const standin lib;
  initialize();
  const std::vector<std::pair<endpoint_kind, std::string>> kinds = {
      {endpoint_kind::publisher, "publisher"},         {endpoint_kind::subscription, "subscription"},
      {endpoint_kind::service_client, "service_client"}, {endpoint_kind::service_server, "service_server"},
      {endpoint_kind::action_client, "action_client"}, {endpoint_kind::action_server, "action_server"},
  };
  handle h = 0;
  std::string message;
  for (const auto& [kind, name] : kinds) {
    ASSERT_TRUE(bridge_create_endpoint(kind, 3, "/x", "pkg/T", {}, h, message));
    const auto calls = lib.calls();
    EXPECT_EQ(calls.back(), "nodegate_create_" + name + " node=3 name=/x type=pkg/T");
    const auto b = lib.record_bytes(calls.size() - 1);
    ASSERT_EQ(b.size(), 120u);
    for (std::size_t i = 24; i < 120; ++i) EXPECT_EQ(b[i], 0) << name << ' ' << i;
  }
  const std::vector<std::pair<endpoint_kind, std::string>> failures = {
      {endpoint_kind::publisher, "Failed to create publisher: /y"},
      {endpoint_kind::subscription, "Failed to create subscription: /y"},
      {endpoint_kind::service_client, "Failed to create service client: /y"},
      {endpoint_kind::service_server, "Failed to create service server: /y"},
      {endpoint_kind::action_client, "Failed to create action client: /y"},
      {endpoint_kind::action_server, "Failed to create action server: /y"},
  };
  for (const auto& [kind, name] : kinds) lib.fail(("nodegate_create_" + name).c_str(), "");
  for (const auto& [kind, expected] : failures) {
    EXPECT_FALSE(bridge_create_endpoint(kind, 3, "/y", "pkg/T", {}, h, message));
    EXPECT_EQ(message, expected);
  }
}

TEST(Bridge, DestroyAndBufferFailures) {
  const standin lib;
  initialize();
  std::string message;
  EXPECT_TRUE(bridge_destroy_handle(42, message));
  EXPECT_EQ(lib.calls().back(), "nodegate_destroy_handle 42");
  lib.fail("nodegate_destroy_handle", "");
  lib.fail("nodegate_read_subscriptions", "");
  lib.fail("nodegate_process_batch", "");
  EXPECT_FALSE(bridge_destroy_handle(42, message));
  EXPECT_EQ(message, "Failed to destroy ROS2 handle");
  std::uint32_t buffer[4] = {1, 0, 0, 16};
  EXPECT_FALSE(bridge_read_subscriptions(buffer, sizeof buffer, message));
  EXPECT_EQ(message, "Failed to read ROS2 subscriptions");
  EXPECT_FALSE(bridge_process_batch(buffer, sizeof buffer, message));
  EXPECT_EQ(message, "Failed to process ROS2 batch");
}

TEST(Bridge, ResetKeepsTheBridgeInitialised) {
  const standin lib;
  initialize();
  std::string message;
  EXPECT_TRUE(bridge_reset(message));
  EXPECT_TRUE(bridge_destroy_handle(1, message));
  EXPECT_EQ(lib.count("nodegate_reset"), 1u);
}

TEST(Bridge, ShutdownOnceAndOnlyWhenInitialised) {
  const standin lib;
  {
    ros_buffer_worker never_started;
    never_started.stop_and_shut_down();
  }
  EXPECT_EQ(lib.count("nodegate_shutdown"), 0u);

  initialize();
  ros_buffer_worker worker;
  std::uint32_t buffer[4] = {0, 1, 0, 16};
  worker.start(buffer, sizeof buffer);
  worker.stop_and_shut_down();
  bridge_shutdown();
  EXPECT_EQ(lib.count("nodegate_shutdown"), 1u);
  EXPECT_EQ(lib.calls().back(), "nodegate_shutdown");

  // After shutdown every wrapper but initialise refuses; initialise calls the
  // library again without loading it anew.
  std::string message;
  handle h = 0;
  EXPECT_FALSE(bridge_create_node("n", "", {}, h, message));
  EXPECT_EQ(message, "ROS2 bridge is not initialized");
  initialize();
  EXPECT_EQ(lib.count("nodegate_initialize"), 2u);
  EXPECT_TRUE(bridge_create_node("n", "", {}, h, message));
}

}  // namespace
}  // namespace kvt::test
