// Work handed to the command server's thread from other threads (discovery
// jobs, later the ROS 2 callbacks): connections belong to that thread alone.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include "server/connection.hpp"

namespace kvt::server {

using server_poster = std::function<void(std::function<void()>)>;

// The running server installs how work reaches its loop, and removes it
// (empty function) before it ends.
void set_server_poster(server_poster poster);

// Hands `work` to the running server thread; false (and `work` dropped) when
// no server runs. Safe from any thread.
bool post_to_server(std::function<void()> work);

// Sends an event (a text message) to `target` from any thread, on the server thread,
// unless the connection has closed by then.
void post_event(std::weak_ptr<connection> target, std::string message);

// The same, keeping `hold` alive until the message has been given to the
// connection or dropped (work the server never runs is dropped with it).
void post_event(std::weak_ptr<connection> target, std::string message, std::shared_ptr<const void> hold);

// Bounds the messages one producer has handed over that the server thread
// has not yet taken: a producer faster than the server thread drops what is
// beyond the limit instead of queueing ever more.
class handover_budget : public std::enable_shared_from_this<handover_budget> {
 public:
  explicit handover_budget(std::size_t limit) noexcept : limit_(limit) {}

  // One place for a message, given back when the returned holder goes (pass
  // it to `post_event`); null when every place is taken. The budget must be
  // owned by a shared_ptr.
  std::shared_ptr<const void> claim();

  std::size_t in_flight() const noexcept { return in_flight_.load(); }

 private:
  std::atomic<std::size_t> in_flight_{0};
  std::size_t limit_;
};

}  // namespace kvt::server
