#include "app/launch_options.hpp"

#include <cctype>
#include <cstdlib>
#include <limits>
#include <map>
#include <vector>

namespace kvt {

namespace {

constexpr std::uint64_t max_ros2_buffer = 1'000'000'000;

launch_options_record& record() {
  static launch_options_record r;
  return r;
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
  return s;
}

// Switches in the browser's command-line syntax: "--name" or "--name=value"
// (a single "-" also works); "--" ends the switches; the last one wins.
std::map<std::string, std::string, std::less<>> read_switches(std::span<const std::string_view> args) {
  std::map<std::string, std::string, std::less<>> switches;
  for (std::string_view arg : args) {
    if (arg == "--") break;
    if (arg.starts_with("--"))
      arg.remove_prefix(2);
    else if (arg.starts_with("-") && arg.size() > 1)
      arg.remove_prefix(1);
    else
      continue;
    const auto eq = arg.find('=');
    switches[std::string(arg.substr(0, eq))] = eq == std::string_view::npos ? std::string{} : std::string(arg.substr(eq + 1));
  }
  return switches;
}

// std::stoi's rules: leading white space, optional sign, digits, the rest
// ignored. Nothing when there are no digits or the number leaves int32.
std::optional<std::int32_t> to_int32(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  const std::size_t first_digit = i;
  std::int64_t value = 0;
  for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
    value = value * 10 + (text[i] - '0');
    if (value > std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1) return std::nullopt;
  }
  if (i == first_digit) return std::nullopt;
  if (negative) value = -value;
  if (value < std::numeric_limits<std::int32_t>::min() || value > std::numeric_limits<std::int32_t>::max())
    return std::nullopt;
  return static_cast<std::int32_t>(value);
}

}  // namespace

bool parse_byte_size(std::string_view text, std::uint64_t& out) {
  text = trim(text);
  if (text.empty()) return false;
  std::size_t digits = 0;
  std::uint64_t value = 0;
  for (; digits < text.size() && std::isdigit(static_cast<unsigned char>(text[digits])); ++digits) {
    const auto d = static_cast<std::uint64_t>(text[digits] - '0');
    if (value > (std::numeric_limits<std::uint64_t>::max() - d) / 10) return false;
    value = value * 10 + d;
  }
  if (digits == 0 || value == 0) return false;

  std::string unit(trim(text.substr(digits)));
  for (char& c : unit) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  static const std::map<std::string, std::uint64_t, std::less<>> units = {
      {"", 1'000'000},        {"m", 1'000'000},     {"mb", 1'000'000},   {"mib", 1'048'576},
      {"k", 1'000},           {"kb", 1'000},        {"kib", 1'024},      {"g", 1'000'000'000},
      {"gb", 1'000'000'000},  {"gib", 1'073'741'824}, {"b", 1},          {"bytes", 1},
  };
  const auto it = units.find(unit);
  if (it == units.end()) return false;
  if (value > std::numeric_limits<std::uint64_t>::max() / it->second) return false;
  out = std::min(value * it->second, max_ros2_buffer);
  return true;
}

launch_options_record parse_launch_arguments(std::span<const std::string_view> args, const char* env_ros2_buffer) {
  launch_options_record r;
  const auto switches = read_switches(args);
  const auto has = [&](std::string_view name) { return switches.find(name) != switches.end(); };
  const auto value = [&](std::string_view name) {
    const auto it = switches.find(name);
    return it == switches.end() ? std::string_view{} : std::string_view(it->second);
  };

  r.runner = has("runner");
  r.dev = has("dev");
  r.staging = has("staging");
  r.tools = has("tools");
  r.ros2 = has("ros2");
  r.help = has("help") || has("h");
  r.version = has("version");

  if (const std::string_view port = value("port"); !port.empty()) {
    // Taken as unsigned: 0 to 65535 is a port, anything else keeps the default.
    if (const auto n = to_int32(port); n && static_cast<std::uint32_t>(*n) <= 65535) r.port = static_cast<std::uint32_t>(*n);
  }
  if (const std::string_view model = value("model"); !model.empty()) r.model = std::string(model);
  r.initial_show_state = std::string(value("initial-show-state"));

  std::uint64_t size = 0;
  const std::string_view given = value("ros2-buffer");
  bool parsed = false;
  if (!given.empty())
    parsed = parse_byte_size(given, size);  // an invalid value does not fall back to the environment
  else if (env_ros2_buffer != nullptr)
    parsed = parse_byte_size(env_ros2_buffer, size);
  r.ros2_buffer = parsed ? size : default_ros2_buffer;
  return r;
}

const launch_options_record& launch_options() { return record(); }

const launch_options_record& parse_launch_options(int argc, char** argv) {
  std::vector<std::string_view> args;
  for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
  record() = parse_launch_arguments(args, std::getenv(ros2_buffer_variable));
  return record();
}

}  // namespace kvt
