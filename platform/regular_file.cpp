#include "platform/regular_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace kvt::platform {

regular_file::~regular_file() {
  if (fd_ >= 0) ::close(fd_);
}

bool regular_file::open(const std::filesystem::path& path) {
  if (fd_ >= 0) return false;
  // Non-blocking, so that opening a FIFO does not wait for a writer.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return false;
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 0) {
    ::close(fd);
    return false;
  }
  fd_ = fd;
  size_ = static_cast<std::uint64_t>(st.st_size);
  return true;
}

bool regular_file::read_exact(void* into, std::size_t count) {
  auto* at = static_cast<unsigned char*>(into);
  while (count > 0) {
    const ssize_t n = ::read(fd_, at, count);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    at += n;
    count -= static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace kvt::platform
