#include "platform/file_lock.hpp"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <utility>

namespace kvt::platform {

file_lock::file_lock(file_lock&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

file_lock& file_lock::operator=(file_lock&& other) noexcept {
  if (this != &other) {
    release();
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

file_lock::~file_lock() { release(); }

bool file_lock::try_lock(const std::filesystem::path& path, bool create) {
  release();
  const int flags = O_RDWR | O_CLOEXEC | (create ? O_CREAT : 0);
  const int fd = ::open(path.c_str(), flags, 0644);
  if (fd < 0) return false;
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    ::close(fd);
    return false;
  }
  fd_ = fd;
  return true;
}

void file_lock::release() noexcept {
  if (fd_ < 0) return;
  ::close(fd_);  // closing the last descriptor drops the lock
  fd_ = -1;
}

bool lock_is_held_elsewhere(const std::filesystem::path& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool held = ::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
  ::close(fd);
  return held;
}

std::filesystem::path temporary_directory() {
  const char* tmp = std::getenv("TMPDIR");
  if (tmp != nullptr && *tmp != '\0') return tmp;
  return "/tmp";
}

std::filesystem::path home_directory() {
  const char* home = std::getenv("HOME");
  if (home != nullptr && *home != '\0') return home;
  const passwd* entry = ::getpwuid(::getuid());
  return entry != nullptr && entry->pw_dir != nullptr ? std::filesystem::path(entry->pw_dir) : std::filesystem::path();
}

}  // namespace kvt::platform
