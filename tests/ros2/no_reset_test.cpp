// A bridge library that lacks one export.
#include <gtest/gtest.h>

#include "ros2/bridge.hpp"
#include "standin_control.hpp"

namespace kvt::test {
namespace {

TEST(BridgeWithoutReset, NamesTheMissingExportEveryTime) {
  std::string message;
  EXPECT_FALSE(ros2::bridge_initialize(message));
  EXPECT_EQ(message, "ROS2 bridge library does not export nodegate_reset");
  EXPECT_FALSE(ros2::bridge_initialize(message));
  EXPECT_EQ(message, "ROS2 bridge library does not export nodegate_reset");
  // The library was never initialised nor asked anything else.
  EXPECT_TRUE(standin().calls().empty());
  ros2::handle h = 0;
  EXPECT_FALSE(ros2::bridge_create_node("n", "", {}, h, message));
  EXPECT_EQ(message, "ROS2 bridge is not initialized");
}

}  // namespace
}  // namespace kvt::test
