// Where the running program's executable lives.
#pragma once

#include <filesystem>

namespace kvt::platform {

// The directory of the running executable (empty if it cannot be read).
std::filesystem::path executable_directory();

}  // namespace kvt::platform
