#include "support/child_process.hpp"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace kvt::test {

namespace {

// Reads what is there without waiting and appends it to `out`.
void drain(int fd, std::string& out) {
  char buf[4096];
  for (;;) {
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) break;
    out.append(buf, static_cast<std::size_t>(n));
  }
}

}  // namespace

child_process::child_process(std::vector<std::string> argv, std::vector<std::string> extra_env,
                             bool capture_stdout) {
  int pipe_fds[2];
  if (pipe2(pipe_fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  int out_fds[2] = {-1, -1};
  if (capture_stdout && pipe2(out_fds, O_CLOEXEC) != 0) {
    close(pipe_fds[0]);
    close(pipe_fds[1]);
    throw std::runtime_error("pipe failed");
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], STDERR_FILENO);
  if (capture_stdout) posix_spawn_file_actions_adddup2(&actions, out_fds[1], STDOUT_FILENO);

  std::vector<char*> args;
  for (auto& a : argv) args.push_back(a.data());
  args.push_back(nullptr);
  std::vector<std::string> env_strings;
  // Extra entries replace this process's entries of the same name.
  auto name_of = [](const std::string& entry) { return entry.substr(0, entry.find('=') + 1); };
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    bool replaced = false;
    for (const auto& x : extra_env) replaced = replaced || name_of(x) == name_of(entry);
    if (!replaced) env_strings.push_back(entry);
  }
  for (auto& e : extra_env) env_strings.push_back(std::move(e));
  std::vector<char*> env;
  for (auto& e : env_strings) env.push_back(e.data());
  env.push_back(nullptr);

  const int rc = posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), env.data());
  posix_spawn_file_actions_destroy(&actions);
  close(pipe_fds[1]);
  if (capture_stdout) close(out_fds[1]);
  if (rc != 0) {
    close(pipe_fds[0]);
    if (capture_stdout) close(out_fds[0]);
    throw std::runtime_error("cannot start " + argv[0]);
  }
  stderr_fd_ = pipe_fds[0];
  fcntl(stderr_fd_, F_SETFL, fcntl(stderr_fd_, F_GETFL) | O_NONBLOCK);
  if (capture_stdout) {
    stdout_fd_ = out_fds[0];
    fcntl(stdout_fd_, F_SETFL, fcntl(stdout_fd_, F_GETFL) | O_NONBLOCK);
  }
}

child_process::~child_process() {
  if (!exit_code_ && pid_ > 0) {
    if (!terminate(std::chrono::seconds(5))) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  if (stderr_fd_ >= 0) close(stderr_fd_);
  if (stdout_fd_ >= 0) close(stdout_fd_);
}

std::optional<int> child_process::wait(std::chrono::milliseconds timeout) {
  if (exit_code_) return exit_code_;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    int status = 0;
    const pid_t r = waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
      exit_code_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      return exit_code_;
    }
    if (std::chrono::steady_clock::now() > deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

std::optional<int> child_process::terminate(std::chrono::milliseconds timeout) {
  if (!exit_code_) kill(pid_, SIGTERM);
  return wait(timeout);
}

std::string child_process::stderr_text() {
  drain(stderr_fd_, stderr_);
  return stderr_;
}

std::string child_process::stdout_text() {
  if (stdout_fd_ >= 0) drain(stdout_fd_, stdout_);
  return stdout_;
}

std::string built_program(const std::string& relative_path) { return std::string(KVT_BINARY_DIR) + "/" + relative_path; }

}  // namespace kvt::test
