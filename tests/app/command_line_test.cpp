// The program's "--help" and "--version", run as a user runs them: the built
// executable without a display, answering on standard output before it
// opens a display, creates its buffers or takes its lock.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "support/child_process.hpp"

namespace kvt::test {
namespace {

namespace fs = std::filesystem;

const std::string program = built_program("app/kestrel-connect");

struct run_result {
  std::optional<int> exit_code;
  std::string out;
  std::string err;
  bool temp_untouched = false;  // the private temporary folder is still empty
};

// Runs the program without a display, with a private, empty temporary
// folder (where the instance lock and the browser cache would go).
run_result run(std::vector<std::string> args, std::vector<std::string> env = {}) {
  std::string pattern = (fs::temp_directory_path() / "kvt-cli-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) return {};
  const fs::path temp = pattern;
  args.insert(args.begin(), program);
  env.insert(env.end(), {"DISPLAY=", "WAYLAND_DISPLAY=", "TMPDIR=" + temp.string()});
  child_process child(args, env, true);
  run_result r;
  r.exit_code = child.wait(std::chrono::seconds(20));
  r.out = child.stdout_text();
  r.err = child.stderr_text();
  r.temp_untouched = fs::is_empty(temp);
  fs::remove_all(temp);
  return r;
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

const std::string version_line = "kestrel-connect (Kestrel Connect) " KVT_PROJECT_VERSION "\n";

TEST(CommandLine, WithoutADisplayTheProgramStopsAtTheDisplay) {
  // The environment of the other cases really has no display.
  const run_result r = run({"--port=0"});
  EXPECT_EQ(r.exit_code, 3) << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find("cannot open a display"), std::string::npos) << r.err;
}

TEST(CommandLine, HelpAndVersionAnswerOnStandardOutputWithoutADisplay) {
  struct row {
    std::vector<std::string> args;
    bool help;  // else the version
  };
  const std::vector<row> rows = {
      {{"--help"}, true},
      {{"-h"}, true},
      {{"--version"}, false},
      {{"--dev", "--port=1", "--version"}, false},
      {{"--ros2-buffer=bad", "--help", "--model=/nonexistent"}, true},
      {{"--version", "--help"}, true},
  };
  for (const row& r : rows) {
    const std::string what = r.args.back();
    const run_result got = run(r.args, {"KESTREL_ROS2_BUFFER=nonsense"});
    EXPECT_EQ(got.exit_code, 0) << what << ": " << got.err;
    EXPECT_EQ(got.err, "") << what;
    EXPECT_TRUE(got.temp_untouched) << what << ": no lock or cache folder";
    if (r.help)
      EXPECT_TRUE(got.out.starts_with("Usage: kestrel-connect ")) << what << ": " << got.out;
    else
      EXPECT_EQ(got.out, version_line) << what;
  }
}

TEST(CommandLine, HelpNamesEverySwitchOnItsOwnLineAndTheEnvironmentVariable) {
  const run_result r = run({"--help"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const auto lines = lines_of(r.out);
  const std::vector<std::string> switches = {"--runner", "--dev", "--staging", "--tools", "--ros2",
                                             "--port=",  "--model=", "--ros2-buffer=", "--initial-show-state=",
                                             "--help",   "--version"};
  for (const std::string& name : switches) {
    int found = 0;
    for (const std::string& line : lines) {
      const auto at = line.find_first_not_of(' ');
      if (at == std::string::npos || line.compare(at, name.size(), name) != 0) continue;
      // "--ros2" must not be satisfied by "--ros2-buffer=SIZE".
      const char next = at + name.size() < line.size() ? line[at + name.size()] : ' ';
      if (name.back() == '=' || next == ' ') ++found;
    }
    EXPECT_EQ(found, 1) << name << " in\n" << r.out;
  }
  bool variable = false;
  for (const std::string& line : lines) variable = variable || line.find("KESTREL_ROS2_BUFFER") != std::string::npos;
  EXPECT_TRUE(variable) << r.out;
}

}  // namespace
}  // namespace kvt::test
