// An installed program: the bridge library lies in the program's library
// folder, not beside the executable.
#include <gtest/gtest.h>

#include <filesystem>

#include "platform/executable_path.hpp"
#include "ros2/bridge.hpp"

namespace kvt::test {
namespace {

TEST(InstalledBridge, FoundInTheProgramsLibraryFolder) {
  ASSERT_FALSE(std::filesystem::exists(platform::executable_directory() / ros2::bridge_file_name));
  std::string message;
  EXPECT_TRUE(ros2::bridge_initialize(message)) << message;
  EXPECT_EQ(message, "");
  ros2::bridge_shutdown();
}

}  // namespace
}  // namespace kvt::test
