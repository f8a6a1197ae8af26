#include "platform/shared_memory.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <utility>

namespace kvt {

namespace {
bool object_name(const std::string& name, char (&out)[256]) {
  if (name.empty() || name.size() + 2 > sizeof out || name.find('/') != std::string::npos) return false;
  out[0] = '/';
  std::memcpy(out + 1, name.data(), name.size());
  out[name.size() + 1] = '\0';
  return true;
}
}  // namespace

shared_memory::shared_memory(shared_memory&& other) noexcept { *this = std::move(other); }

shared_memory& shared_memory::operator=(shared_memory&& other) noexcept {
  if (this != &other) {
    close();
    view_ = std::exchange(other.view_, nullptr);
    size_ = std::exchange(other.size_, 0);
    name_ = std::move(other.name_);
    other.name_.clear();
    fd_ = std::exchange(other.fd_, -1);
    owns_name_ = std::exchange(other.owns_name_, false);
    std::memcpy(object_name_, other.object_name_, sizeof object_name_);
    other.object_name_[0] = '\0';
  }
  return *this;
}

shared_memory::~shared_memory() { close(); }

bool shared_memory::map(int fd, const std::string& name, std::uint64_t size, bool created) {
  void* view = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (view == MAP_FAILED) {
    ::close(fd);
    if (created) shm_unlink(object_name_);
    return false;
  }
  view_ = view;
  size_ = size;
  name_ = name;
  fd_ = fd;
  owns_name_ = created;
  return true;
}

bool shared_memory::create(const std::string& name, std::uint64_t size, std::string* refusal) {
  if (is_open() || size == 0 || !object_name(name, object_name_)) return false;
  if (refusal != nullptr) refusal->clear();
  bool created = true;
  int fd = shm_open(object_name_, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0 && errno == EEXIST) {
    // An object of that name is left over. It is used only when it is ours
    // and nobody else may open it: another user could read what the program
    // keeps there, or shrink it under the mapping.
    created = false;
    fd = shm_open(object_name_, O_RDWR | O_CLOEXEC | O_NOFOLLOW, 0600);
  }
  if (fd < 0) return false;
  struct stat st {};
  if (fstat(fd, &st) != 0) {
    ::close(fd);
    if (created) shm_unlink(object_name_);
    return false;
  }
  if (!created && (st.st_uid != geteuid() || (st.st_mode & 077) != 0)) {
    if (refusal != nullptr) {
      char text[96];
      if (st.st_uid != geteuid())
        std::snprintf(text, sizeof text, "it exists already and belongs to another user (uid %lu)",
                      static_cast<unsigned long>(st.st_uid));
      else
        std::snprintf(text, sizeof text, "it exists already and other users may open it (mode %04o)",
                      static_cast<unsigned>(st.st_mode & 07777));
      *refusal = text;
    }
    ::close(fd);
    return false;
  }
  if (static_cast<std::uint64_t>(st.st_size) < size && ftruncate(fd, static_cast<off_t>(size)) != 0) {
    ::close(fd);
    if (created) shm_unlink(object_name_);
    return false;
  }
  return map(fd, name, size, created);
}

bool shared_memory::open(const std::string& name, std::uint64_t size) {
  if (is_open() || name.empty() || size == 0 || !object_name(name, object_name_)) return false;
  const int fd = shm_open(object_name_, O_RDWR | O_CLOEXEC, 0);
  if (fd < 0) return false;
  struct stat st {};
  if (fstat(fd, &st) != 0 || static_cast<std::uint64_t>(st.st_size) < size) {
    ::close(fd);  // mapping past the object's end would fault on access
    return false;
  }
  return map(fd, name, size, false);
}

bool shared_memory::open_fd(int fd, const std::string& name, std::uint64_t size) {
  if (is_open() || fd < 0 || size == 0) return false;
  object_name_[0] = '\0';
  const int own = fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (own < 0) return false;
  struct stat st {};
  if (fstat(own, &st) != 0 || static_cast<std::uint64_t>(st.st_size) < size) {
    ::close(own);
    return false;
  }
  return map(own, name, size, false);
}

void shared_memory::unlink_name() noexcept {
  if (owns_name_ && object_name_[0] != '\0') shm_unlink(object_name_);
  owns_name_ = false;
}

void shared_memory::close() {
  if (view_ != nullptr) munmap(view_, size_);
  if (fd_ >= 0) ::close(fd_);
  unlink_name();
  view_ = nullptr;
  size_ = 0;
  fd_ = -1;
  name_.clear();
  object_name_[0] = '\0';
}

}  // namespace kvt
