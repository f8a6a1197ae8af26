#include "support/virtual_display.hpp"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <vector>

extern char** environ;

namespace kvt::test {

virtual_display::virtual_display() {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  // Xvfb writes its display number to fd 3: the write end goes there from a
  // number above the low ones, so that dup2 really copies it (and clears
  // close-on-exec) whatever numbers the pipe got.
  const int write_end = fcntl(fds[1], F_DUPFD_CLOEXEC, 10);
  close(fds[1]);
  fds[1] = write_end;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 3);
  std::vector<std::string> argv = {"/usr/bin/Xvfb", "-displayfd", "3", "-screen", "0", "2560x1440x24", "-nolisten",
                                   "tcp", "-noreset"};
  std::vector<char*> args;
  for (auto& a : argv) args.push_back(a.data());
  args.push_back(nullptr);
  const int rc = posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);
  if (rc != 0) {
    close(fds[0]);
    throw std::runtime_error("cannot start Xvfb (install the xvfb package)");
  }
  std::string number;
  char c = 0;
  while (read(fds[0], &c, 1) == 1 && c != '\n') number += c;
  close(fds[0]);
  if (number.empty()) throw std::runtime_error("Xvfb did not report a display");
  name_ = ":" + number;
}

virtual_display::~virtual_display() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  waitpid(pid_, nullptr, 0);
}

namespace {

class display_environment : public ::testing::Environment {
 public:
  void SetUp() override {
    display_ = std::make_unique<virtual_display>();
    setenv("DISPLAY", display_->name().c_str(), 1);
    // No accessibility bus in a test session.
    setenv("NO_AT_BRIDGE", "1", 1);
    setenv("GTK_A11Y", "none", 1);
  }
  void TearDown() override { display_.reset(); }

 private:
  std::unique_ptr<virtual_display> display_;
};

}  // namespace

void use_virtual_display() { ::testing::AddGlobalTestEnvironment(new display_environment); }  // gtest owns it

}  // namespace kvt::test
