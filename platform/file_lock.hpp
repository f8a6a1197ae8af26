// An exclusive advisory lock on a file (flock), held while the object lives.
// The kernel releases it when the process ends, even after a crash, so a
// lock that can be taken means nobody is using what the file guards.
#pragma once

#include <filesystem>

namespace kvt::platform {

class file_lock {
 public:
  file_lock() = default;
  file_lock(file_lock&& other) noexcept;
  file_lock& operator=(file_lock&& other) noexcept;
  file_lock(const file_lock&) = delete;
  file_lock& operator=(const file_lock&) = delete;
  ~file_lock();

  // Creates the file when `create` is set (opens an existing one otherwise)
  // and takes the lock without waiting. False when the file cannot be opened
  // or another process holds the lock.
  bool try_lock(const std::filesystem::path& path, bool create);
  void release() noexcept;
  bool held() const noexcept { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

// Whether another process holds the lock on an existing file: a lock attempt
// that fails because the lock is taken. A file that cannot be opened counts
// as not held.
bool lock_is_held_elsewhere(const std::filesystem::path& path);

// The user's temporary directory: $TMPDIR, else /tmp.
std::filesystem::path temporary_directory();

// The user's home directory: $HOME, else the password database's entry.
std::filesystem::path home_directory();

}  // namespace kvt::platform
