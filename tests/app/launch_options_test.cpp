// Launch options: switches, the port's conversion, the byte sizes of the
// ROS buffer and the environment variable's fall-back.
#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "app/launch_options.hpp"

namespace kvt {
namespace {

launch_options_record parse(std::vector<std::string_view> args, const char* env = nullptr) {
  return parse_launch_arguments(args, env);
}

TEST(LaunchOptions, DefaultsAndSwitches) {
  const auto none = parse({});
  EXPECT_FALSE(none.runner || none.dev || none.staging || none.tools || none.ros2);
  EXPECT_EQ(none.port, 8084u);
  EXPECT_EQ(none.model, "");
  EXPECT_EQ(none.ros2_buffer, 64'000'000u);

  const auto all = parse({"--runner", "--dev=0", "-staging", "--tools", "--ros2", "--model=/tmp/a b.kvt",
                          "--initial-show-state=maximized", "positional"});
  EXPECT_TRUE(all.runner);
  EXPECT_TRUE(all.dev) << "a value after '=' does not switch it off";
  EXPECT_TRUE(all.staging);
  EXPECT_TRUE(all.tools);
  EXPECT_TRUE(all.ros2);
  EXPECT_EQ(all.model, "/tmp/a b.kvt");
  EXPECT_EQ(all.initial_show_state, "maximized");

  EXPECT_FALSE(parse({"--", "--dev"}).dev) << "'--' ends the switches";
  EXPECT_EQ(parse({"--model=a", "--model=b"}).model, "b") << "the last one wins";
  EXPECT_EQ(parse({"--model=a", "--model="}).model, "") << "an empty value leaves the model empty";
}

TEST(LaunchOptions, PortFollowsIntegerConversionRules) {
  const std::vector<std::pair<std::string_view, std::uint32_t>> cases = {
      {"--port=9000abc", 9000}, {"--port=70000", 8084},      {"--port=-1", 8084},  {"--port=0", 0},
      {"--port=65535", 65535},  {"--port=65536", 8084},      {"--port=  42", 42},  {"--port=+7", 7},
      {"--port=abc", 8084},     {"--port=2147483648", 8084}, {"--port", 8084},     {"--port=", 8084},
      {"--port=-0", 0},         {"--port=0009", 9},
  };
  for (const auto& [arg, port] : cases) EXPECT_EQ(parse({arg}).port, port) << arg;
}

TEST(LaunchOptions, ByteSizesUseTheirUnitsAndAreCapped) {
  const std::vector<std::pair<std::string_view, std::uint64_t>> good = {
      {"64", 64'000'000},       {"512KiB", 524'288},           {"256mib", 268'435'456}, {" 5 GB ", 1'000'000'000},
      {"2G", 1'000'000'000},    {"100k", 100'000},             {"7 kb", 7'000},         {"3b", 3},
      {"12 bytes", 12},         {"1gib", 1'000'000'000},       {"1MB", 1'000'000},      {"999999999b", 999'999'999},
      {"18446744073709551615b", 1'000'000'000},
  };
  for (const auto& [text, size] : good) {
    std::uint64_t out = 0;
    EXPECT_TRUE(parse_byte_size(text, out)) << text;
    EXPECT_EQ(out, size) << text;
  }
  for (std::string_view text : {"", "  ", "0", "0mb", "12tb", "abc", "k12", "1.5g", "-5", "18446744073709551616",
                                "18446744073709551615k", "5 g b"}) {
    std::uint64_t out = 77;
    EXPECT_FALSE(parse_byte_size(text, out)) << text;
    EXPECT_EQ(out, 77u) << text;
  }
}

TEST(LaunchOptions, Ros2BufferFromTheSwitchElseTheEnvironment) {
  EXPECT_EQ(parse({"--ros2-buffer=256mib"}).ros2_buffer, 268'435'456u);
  EXPECT_EQ(parse({"--ros2-buffer=1GB"}).ros2_buffer, 1'000'000'000u);
  EXPECT_EQ(parse({}, "100k").ros2_buffer, 100'000u);
  EXPECT_EQ(parse({}, "5 GB").ros2_buffer, 1'000'000'000u);
  EXPECT_EQ(parse({}, "nonsense").ros2_buffer, 64'000'000u);
  // A given but invalid switch does not fall back to the environment.
  EXPECT_EQ(parse({"--ros2-buffer=0"}, "100k").ros2_buffer, 64'000'000u);
  EXPECT_EQ(parse({"--ros2-buffer=12tb"}, "100k").ros2_buffer, 64'000'000u);
  // An empty switch value counts as not given.
  EXPECT_EQ(parse({"--ros2-buffer="}, "100k").ros2_buffer, 100'000u);
}

TEST(LaunchOptions, HelpAndVersionSwitches) {
  struct row {
    std::vector<std::string_view> args;
    bool help;
    bool version;
  };
  const std::vector<row> rows = {
      {{}, false, false},
      {{"--help"}, true, false},
      {{"-h"}, true, false},
      {{"--version"}, false, true},
      {{"--dev", "--version", "--help"}, true, true},
      {{"--", "--help"}, false, false},
      {{"--helpful", "--versions", "help"}, false, false},
  };
  for (const row& r : rows) {
    const auto got = parse(r.args);
    const std::string what = r.args.empty() ? "(none)" : std::string(r.args.front());
    EXPECT_EQ(got.help, r.help) << what;
    EXPECT_EQ(got.version, r.version) << what;
  }
}

}  // namespace
}  // namespace kvt
