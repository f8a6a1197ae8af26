#include "platform/executable_path.hpp"

#include <system_error>

namespace kvt::platform {

std::filesystem::path executable_directory() {
  std::error_code ec;
  const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::filesystem::path() : exe.parent_path();
}

}  // namespace kvt::platform
