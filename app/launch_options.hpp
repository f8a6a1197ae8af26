// The program's launch options: read once from the command line (and one
// environment variable) at start-up, read anywhere afterwards.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace kvt {

struct launch_options_record {
  bool runner = false;   // "--runner"
  bool dev = false;      // "--dev"
  bool staging = false;  // "--staging"
  bool tools = false;    // "--tools"
  bool ros2 = false;     // "--ros2"
  std::uint32_t port = 8084;        // "--port"
  std::string model;                // "--model"
  std::uint64_t ros2_buffer = 0;    // "--ros2-buffer" or KESTREL_ROS2_BUFFER; set by parsing
  std::string initial_show_state;   // "--initial-show-state", read by the window
  bool help = false;     // "--help" or "-h": print the usage and exit
  bool version = false;  // "--version": print the version and exit
};

inline constexpr std::uint32_t default_port = 8084;
inline constexpr std::uint64_t default_ros2_buffer = 64'000'000;
inline constexpr const char* ros2_buffer_variable = "KESTREL_ROS2_BUFFER";

// The process-wide record (defaults until `parse_launch_options` has run).
const launch_options_record& launch_options();

// Parses the process's command line and environment into the process-wide
// record and returns it. Called once, before any other thread starts.
const launch_options_record& parse_launch_options(int argc, char** argv);

// The parse itself: `args` without the program name, `env_ros2_buffer` the
// value of KESTREL_ROS2_BUFFER (null when unset).
launch_options_record parse_launch_arguments(std::span<const std::string_view> args, const char* env_ros2_buffer);

// "64" → 64,000,000; "512KiB" → 524,288; units m/mb (default), mib, k/kb,
// kib, g/gb, gib, b/bytes; capped at 1,000,000,000. False for anything else.
bool parse_byte_size(std::string_view text, std::uint64_t& out);

}  // namespace kvt
