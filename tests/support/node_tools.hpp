// Running the npm peers' scripts (independent clients and servers written by
// others): where Node.js is, and a shell command's output.
#pragma once

#include <array>
#include <cstdio>
#include <string>

namespace kvt::test {

// Runs a shell command and returns what it printed on standard output.
inline std::string run_command(const std::string& command) {
  std::string out;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return out;
  std::array<char, 4096> buffer{};
  while (const std::size_t n = std::fread(buffer.data(), 1, buffer.size(), pipe)) out.append(buffer.data(), n);
  ::pclose(pipe);
  return out;
}

// The `node` executable on the PATH; empty when there is none.
inline std::string node_path() {
  std::string path = run_command("command -v node");
  while (!path.empty() && (path.back() == '\n' || path.back() == '\r')) path.pop_back();
  return path;
}

}  // namespace kvt::test
