// The browser's cache directory and the instance lock.
//
// The first running copy of the program uses <temp>/Kestrel/Connect/Cache/Main,
// so its profile (cookies, local storage, sign-in) survives restarts; every
// further copy gets a throw-away <temp>/Kestrel/Connect/Cache/<pid>. A lock
// file in <temp>/Kestrel/Connect tells the copies apart. Each cache directory
// holds a "lockfile" that its copy keeps locked while it runs, so a later
// start can tell abandoned directories from used ones.
#pragma once

#include <chrono>
#include <filesystem>
#include <optional>

#include "platform/file_lock.hpp"

namespace kvt {

struct cache_directory_lease {
  std::filesystem::path directory;   // empty when it could not be created
  bool first_instance = false;       // this copy holds the instance lock
  platform::file_lock instance_lock; // held for the life of the process
  platform::file_lock directory_lock;  // <directory>/lockfile
};

// <temp>/Kestrel/Connect and its Cache directory.
std::filesystem::path application_directory(const std::filesystem::path& temp);
std::filesystem::path cache_root(const std::filesystem::path& temp);

// Takes the instance lock and returns the cache directory to use, created and
// with its lock file held. A per-process directory left by an earlier process
// of the same id is wiped first. Errors leave `directory` empty and are
// described in `error`.
cache_directory_lease cache_directory(const std::filesystem::path& temp, unsigned long pid, std::string& error);

// Removes per-process cache directories at least `min_age` old whose lock
// file is missing or not held. "Main" and plain files are never touched. Any
// file-system error ends the clean-up quietly.
void clean_cache_directories(const std::filesystem::path& temp,
                             std::chrono::seconds min_age = std::chrono::seconds(60));

inline constexpr const char* main_cache_name = "Main";
inline constexpr const char* cache_lock_file_name = "lockfile";
inline constexpr const char* instance_lock_file_name = "instance.lock";

}  // namespace kvt
