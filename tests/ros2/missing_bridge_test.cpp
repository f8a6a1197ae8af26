// No bridge library beside the executable, or a folder in its place.
#include <gtest/gtest.h>

#include <filesystem>

#include "platform/executable_path.hpp"
#include "ros2/bridge.hpp"

namespace kvt::test {
namespace {

TEST(MissingBridge, NothingBesideTheExecutable) {
  std::string message;
  EXPECT_FALSE(ros2::bridge_initialize(message));
  EXPECT_EQ(message, "No ROS2 bridge was found");
}

TEST(MissingBridge, AFolderWithTheLibrarysName) {
  const auto folder = platform::executable_directory() / ros2::bridge_file_name;
  std::filesystem::create_directory(folder);
  std::string message;
  EXPECT_FALSE(ros2::bridge_initialize(message));
  EXPECT_EQ(message, "No ROS2 bridge was found");
  std::filesystem::remove(folder);
}

TEST(MissingBridge, AFileThatIsNoLibrary) {
  const auto file = platform::executable_directory() / ros2::bridge_file_name;
  { std::FILE* f = std::fopen(file.c_str(), "w"); std::fputs("not a library", f); std::fclose(f); }
  std::string message;
  EXPECT_FALSE(ros2::bridge_initialize(message));
  EXPECT_TRUE(message.starts_with("Failed to load ROS2 bridge library: " + file.string() + " (")) << message;
  EXPECT_TRUE(message.ends_with(")")) << message;
  std::filesystem::remove(file);
}

}  // namespace
}  // namespace kvt::test
