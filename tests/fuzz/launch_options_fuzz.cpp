// Fuzz target: the command line and KESTREL_ROS2_BUFFER as start-up parses
// them. Input: a flag byte (whether the variable is set), then arguments
// separated by NUL bytes, the variable's value last. Checked:
// - the port is 0 to 65535 and the ROS buffer size 1 to 1,000,000,000;
// - arguments after "--" and arguments that are not switches change nothing;
//   repeating the arguments changes nothing (the last switch wins);
// - "--ros2-buffer" with a value decides alone; without it the variable
//   decides, with the default when neither gives a valid size;
// - a byte size reads the same with white space around it and in upper case.
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "app/launch_options.hpp"
#include "support/check.hpp"

namespace {

using kvt::launch_options_record;

bool same(const launch_options_record& a, const launch_options_record& b) {
  return a.runner == b.runner && a.dev == b.dev && a.staging == b.staging && a.tools == b.tools && a.ros2 == b.ros2 &&
         a.port == b.port && a.model == b.model && a.ros2_buffer == b.ros2_buffer &&
         a.initial_show_state == b.initial_show_state;
}

void check_byte_size(std::string_view text) {
  std::uint64_t size = 0;
  const bool ok = kvt::parse_byte_size(text, size);
  if (ok) KVT_FUZZ_CHECK(size >= 1 && size <= 1'000'000'000, "\"%.*s\" read as %llu bytes",
                         static_cast<int>(text.size()), text.data(), static_cast<unsigned long long>(size));
  std::uint64_t padded_size = 0;
  const bool padded_ok = kvt::parse_byte_size(" \t" + std::string(text) + " \n", padded_size);
  KVT_FUZZ_CHECK(padded_ok == ok && (!ok || padded_size == size), "white space around \"%.*s\" changed its size",
                 static_cast<int>(text.size()), text.data());
  std::string upper(text);
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  std::uint64_t upper_size = 0;
  const bool upper_ok = kvt::parse_byte_size(upper, upper_size);
  KVT_FUZZ_CHECK(upper_ok == ok && (!ok || upper_size == size), "\"%.*s\" in upper case reads otherwise",
                 static_cast<int>(text.size()), text.data());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  if (size == 0) return 0;
  const bool variable_set = (bytes[0] & 1) != 0;
  std::vector<std::string> parts;
  std::string current;
  for (std::size_t i = 1; i < size; ++i) {
    if (bytes[i] == 0) {
      parts.push_back(std::move(current));
      current.clear();
    } else {
      current += static_cast<char>(bytes[i]);
    }
  }
  parts.push_back(std::move(current));
  const std::string variable = variable_set ? parts.back() : std::string{};
  if (variable_set) parts.pop_back();
  const char* env = variable_set ? variable.c_str() : nullptr;
  const std::vector<std::string_view> args(parts.begin(), parts.end());

  const launch_options_record r = kvt::parse_launch_arguments(args, env);
  KVT_FUZZ_CHECK(r.port <= 65535, "port %u", r.port);
  KVT_FUZZ_CHECK(r.ros2_buffer >= 1 && r.ros2_buffer <= 1'000'000'000, "ROS buffer of %llu bytes",
                 static_cast<unsigned long long>(r.ros2_buffer));

  std::vector<std::string_view> more = args;
  more.push_back("plain-argument");
  more.push_back("--");
  more.push_back("--port=1");
  more.push_back("--dev");
  KVT_FUZZ_CHECK(same(kvt::parse_launch_arguments(more, env), r), "arguments after \"--\" or without a dash mattered");
  std::vector<std::string_view> twice = args;
  twice.insert(twice.end(), args.begin(), args.end());
  if (std::find(args.begin(), args.end(), "--") == args.end())
    KVT_FUZZ_CHECK(same(kvt::parse_launch_arguments(twice, env), r), "repeating the arguments changed the result");

  // The buffer size: the last "--ros2-buffer" / "-ros2-buffer" before "--".
  std::string_view given;
  for (std::string_view a : args) {
    if (a == "--") break;
    if (a.starts_with("--")) a.remove_prefix(2);
    else if (a.starts_with("-") && a.size() > 1) a.remove_prefix(1);
    else continue;
    const auto eq = a.find('=');
    if (a.substr(0, eq) == "ros2-buffer") given = eq == std::string_view::npos ? std::string_view{} : a.substr(eq + 1);
  }
  std::uint64_t expected = kvt::default_ros2_buffer;
  std::uint64_t parsed = 0;
  if (!given.empty()) {
    if (kvt::parse_byte_size(given, parsed)) expected = parsed;
  } else if (env != nullptr && kvt::parse_byte_size(env, parsed)) {
    expected = parsed;
  }
  KVT_FUZZ_CHECK(r.ros2_buffer == expected, "ROS buffer of %llu bytes, %llu expected",
                 static_cast<unsigned long long>(r.ros2_buffer), static_cast<unsigned long long>(expected));

  for (const std::string_view a : args) check_byte_size(a);
  if (env != nullptr) check_byte_size(env);
  return 0;
}
