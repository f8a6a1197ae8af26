#include "platform/dynamic_library.hpp"

#include <dlfcn.h>

namespace kvt::platform {

void* open_library(const std::filesystem::path& path, std::string& error) {
  error.clear();
  void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    const char* text = dlerror();
    error = text != nullptr ? text : "unknown loader error";
  }
  return library;
}

void* library_symbol(void* library, const char* name) noexcept {
  if (library == nullptr) return nullptr;
  return dlsym(library, name);
}

}  // namespace kvt::platform
