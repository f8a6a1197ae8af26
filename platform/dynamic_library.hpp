// Libraries loaded at run time: open a file, look up its exported symbols.
#pragma once

#include <filesystem>
#include <string>

namespace kvt::platform {

// Loads the library at `path` with every symbol bound at once. Returns its
// handle, or null with the loader's error text in `error`. Libraries opened
// here stay loaded until the process ends.
void* open_library(const std::filesystem::path& path, std::string& error);

// The address of the exported symbol `name` in `library`, or null.
void* library_symbol(void* library, const char* name) noexcept;

}  // namespace kvt::platform
