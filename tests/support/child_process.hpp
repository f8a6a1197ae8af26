// A program started by a test, with its standard error (and on request its
// standard output) collected, ended (SIGTERM, then SIGKILL) when the object
// goes away.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace kvt::test {

class child_process {
 public:
  // Starts `argv[0]` with the arguments; `extra_env` entries ("NAME=value")
  // are added to this process's environment, replacing entries of the same
  // name. Standard output goes to this process's unless `capture_stdout`.
  explicit child_process(std::vector<std::string> argv, std::vector<std::string> extra_env = {},
                         bool capture_stdout = false);
  ~child_process();
  child_process(const child_process&) = delete;
  child_process& operator=(const child_process&) = delete;

  pid_t pid() const noexcept { return pid_; }

  // The exit code once the process has ended (a signal gives 128 + signal),
  // or nullopt after `timeout`.
  std::optional<int> wait(std::chrono::milliseconds timeout);
  // Sends SIGTERM and waits.
  std::optional<int> terminate(std::chrono::milliseconds timeout = std::chrono::seconds(10));

  // Everything the process wrote to standard error so far.
  std::string stderr_text();
  // Everything the process wrote to standard output so far (when captured).
  std::string stdout_text();

 private:
  pid_t pid_ = -1;
  int stderr_fd_ = -1;
  int stdout_fd_ = -1;
  std::string stderr_;
  std::string stdout_;
  std::optional<int> exit_code_;
};

// Path of a program built beside the tests (from the KVT_BINARY_DIR definition).
std::string built_program(const std::string& relative_path);

}  // namespace kvt::test
