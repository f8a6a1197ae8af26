// One tag: its attributes, its buffer, the type learnt from the controller
// and the status of its current or last operation. Callers and the
// session's I/O thread share it; the buffer, the type and the operation
// number are guarded by the mutex, the status is atomic so that polling it
// takes no lock.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

#include "plc/eip/tags/attributes.hpp"
#include "plc/eip/tags/frames.hpp"

namespace kvt::plc::eip {

class session;

enum class op_kind : std::uint8_t {
  connect,  // creation of a listing or raw tag: the session is ready
  read,     // a data tag's read (also its creation)
  write,    // a data tag's write
  list,     // the symbol listing
  raw,      // one raw CIP request and its reply
};

class tag_state {
 public:
  tag_state(tag_attributes attributes, std::shared_ptr<eip::session> s)
      : attributes_(std::move(attributes)), session_(std::move(s)) {
    data_.resize(std::size_t{attributes_.elem_size} * attributes_.elem_count);
  }

  const tag_attributes& attributes() const noexcept { return attributes_; }
  eip::session& session() const noexcept { return *session_; }

  int status() const noexcept { return status_.load(std::memory_order_acquire); }

  // Starts an operation: err_busy while one runs; otherwise the number that
  // identifies it (its completion is dropped once another one started or it
  // was aborted).
  bool begin(std::uint64_t& op_id) {
    std::lock_guard lock(mutex_);
    if (status_.load() == status_pending) return false;
    op_id = ++op_id_;
    status_.store(status_pending, std::memory_order_release);
    return true;
  }
  // Ends operation `op_id` with `result` unless it is no longer current.
  void finish(std::uint64_t op_id, int result) {
    {
      std::lock_guard lock(mutex_);
      if (op_id != op_id_ || status_.load() != status_pending) return;
      status_.store(result, std::memory_order_release);
    }
    done_.notify_all();
  }
  // Ends the running operation, if any, with `result`.
  void cancel(int result) {
    {
      std::lock_guard lock(mutex_);
      ++op_id_;
      if (status_.load() != status_pending) return;
      status_.store(result, std::memory_order_release);
    }
    done_.notify_all();
  }
  bool current(std::uint64_t op_id) {
    std::lock_guard lock(mutex_);
    return op_id == op_id_;
  }
  // Waits until no operation runs or the deadline passes; false on time-out.
  template <class Deadline>
  bool wait(Deadline deadline) {
    std::unique_lock lock(mutex_);
    return done_.wait_until(lock, deadline, [this] { return status_.load() != status_pending; });
  }
  // A status that says why the last getter or setter found nothing, unless
  // an operation runs.
  void note(int result) {
    std::lock_guard lock(mutex_);
    if (status_.load() != status_pending) status_.store(result, std::memory_order_release);
  }

  // The buffer and type, under the lock: f(byte_buffer&, tag_type&).
  template <class F>
  auto with_data(F&& f) {
    std::lock_guard lock(mutex_);
    return f(data_, type_);
  }

 private:
  const tag_attributes attributes_;
  const std::shared_ptr<eip::session> session_;
  std::mutex mutex_;
  std::condition_variable done_;
  byte_buffer data_;
  tag_type type_;
  std::uint64_t op_id_ = 0;
  std::atomic<int> status_{status_ok};
};

}  // namespace kvt::plc::eip
