// One named shared-memory mapping, shared between the program and the page's
// renderer process.
//
// Names are plain ("KVT_SignalBuffer_1234"); the POSIX object is that name
// with a leading slash. The process that created the object removes the
// name when it closes it; a process that opened it by name, or mapped a
// descriptor it received, leaves the name alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kvt {

class shared_memory {
 public:
  shared_memory() = default;
  shared_memory(shared_memory&& other) noexcept;
  shared_memory& operator=(shared_memory&& other) noexcept;
  shared_memory(const shared_memory&) = delete;
  shared_memory& operator=(const shared_memory&) = delete;
  ~shared_memory();

  // Creates the object (mode 0600), or opens an existing one of the same
  // name that belongs to this user and is closed to everyone else, sized to
  // at least `size` bytes, and maps `size` bytes. False, changing nothing,
  // when this object is already open; false and closed when a call fails.
  // An existing object that is not ours alone is refused, and `refusal`
  // (when given) says why.
  bool create(const std::string& name, std::uint64_t size, std::string* refusal = nullptr);
  // Opens an existing object by name and maps `size` bytes. False at once
  // for an open object, an empty name or size 0.
  bool open(const std::string& name, std::uint64_t size);
  // Maps `size` bytes of a descriptor received from another process. The
  // object takes its own duplicate of `fd`; the caller keeps `fd`.
  bool open_fd(int fd, const std::string& name, std::uint64_t size);
  // Unmaps, closes the descriptor and, for the creator, removes the name.
  void close();

  // Removes the name now (the mapping stays usable). Safe from a quick-exit
  // handler: it neither unmaps nor frees.
  void unlink_name() noexcept;

  void* view() const noexcept { return view_; }
  std::uint64_t size() const noexcept { return size_; }
  const std::string& name() const noexcept { return name_; }
  int fd() const noexcept { return fd_; }
  bool is_open() const noexcept { return view_ != nullptr; }

 private:
  bool map(int fd, const std::string& name, std::uint64_t size, bool created);

  void* view_ = nullptr;
  std::uint64_t size_ = 0;
  std::string name_;
  int fd_ = -1;
  bool owns_name_ = false;
  char object_name_[256] = {};  // "/" + name, kept for unlink_name
};

}  // namespace kvt
