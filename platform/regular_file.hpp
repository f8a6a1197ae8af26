// A regular file opened for reading, close-on-exec, held while the object
// lives. Anything else of that name (a folder, a FIFO, a device) is refused
// without blocking, by looking at what was opened rather than at the name.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>

namespace kvt::platform {

class regular_file {
 public:
  regular_file() = default;
  regular_file(const regular_file&) = delete;
  regular_file& operator=(const regular_file&) = delete;
  ~regular_file();

  // False when the name cannot be opened or is not a regular file.
  bool open(const std::filesystem::path& path);
  // The size when it was opened.
  std::uint64_t size() const noexcept { return size_; }
  // Reads exactly `count` bytes from the current position; false on an
  // error or an early end (the file shrank).
  bool read_exact(void* into, std::size_t count);

 private:
  int fd_ = -1;
  std::uint64_t size_ = 0;
};

}  // namespace kvt::platform
