#include "plc/ads/tc_ads_library.hpp"

#include <array>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <string>

#include "platform/dynamic_library.hpp"
#include "platform/executable_path.hpp"
#include "platform/install_layout.hpp"

namespace kvt::plc::ads {

namespace {

constexpr const char* library_file = "libTcAdsDll.so";

void* open_first() {
  std::string error;
  const std::filesystem::path directory = platform::executable_directory();
  if (!directory.empty()) {
    std::error_code ec;
    for (const std::filesystem::path& folder :
         {directory, (directory / install_layout::library_folder).lexically_normal()}) {
      const std::filesystem::path candidate = folder / library_file;
      if (!std::filesystem::is_regular_file(candidate, ec)) continue;
      if (void* library = platform::open_library(candidate, error)) return library;
      std::fprintf(stderr, "ADS: cannot load %s: %s\n", candidate.c_str(), error.c_str());
    }
  }
  // The loader's own search (LD_LIBRARY_PATH, the run path, the system's folders).
  if (void* library = platform::open_library(library_file, error)) return library;
  std::fprintf(stderr, "ADS: cannot load %s: %s\n", library_file, error.c_str());
  return nullptr;
}

template <class Fn>
bool look_up(void* library, const char* name, Fn& out) {
  out = reinterpret_cast<Fn>(platform::library_symbol(library, name));
  if (out == nullptr) std::fprintf(stderr, "ADS: %s has no %s\n", library_file, name);
  return out != nullptr;
}

}  // namespace

const tc_ads_calls* tc_ads_library() {
  static std::mutex mutex;
  static tc_ads_calls calls{};
  static bool loaded = false;
  static void* library = nullptr;  // never closed: the calls stay valid for the process
  std::lock_guard lock(mutex);
  if (loaded) return &calls;
  if (library == nullptr) library = open_first();
  if (library == nullptr) return nullptr;
  loaded = look_up(library, "AdsPortOpen", calls.port_open) && look_up(library, "AdsPortClose", calls.port_close) &&
           look_up(library, "AdsGetLocalAddress", calls.get_local_address) &&
           look_up(library, "AdsSyncReadReq", calls.sync_read) &&
           look_up(library, "AdsSyncReadWriteReq", calls.sync_read_write);
  return loaded ? &calls : nullptr;
}

}  // namespace kvt::plc::ads
