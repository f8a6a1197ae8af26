// Who is connected to the command server: the page connection (at most one),
// the other clients in the order they opened, and the actions waiting for a
// page to register.
#pragma once

#include <functional>
#include <mutex>
#include <vector>

#include "server/connection.hpp"

namespace kvt::server {

class client_hub {
 public:
  using action = std::function<void()>;

  // Server thread: a connection opened. It joins the client list and, while a
  // page is registered, is told so with the byte 253.
  void on_open(const connection_ptr& c);
  // Server thread: a connection closed. The page-ready queue is kept.
  void on_close(const connection* c);
  // Server thread: `c` registers as the page: it leaves the client list, the
  // queued actions run in order, then the remaining clients get 253.
  void register_page(const connection_ptr& c);

  // Server thread only.
  const connection_ptr& page() const noexcept { return page_; }
  const std::vector<connection_ptr>& clients() const noexcept { return clients_; }

  // Any thread. Runs `a` on the server thread once a page is registered:
  // at once when called there with a page present, later otherwise.
  void when_page_connected(action a);

  // Set by the running server thread: how to hand work to it, and its id.
  void attach(std::function<void(action)> post);
  // Server thread, on the way out: forget connections, the queue and the poster.
  void detach();

 private:
  mutable std::mutex mutex_;  // the client mutex: queue, registration, poster
  connection_ptr page_;
  std::vector<connection_ptr> clients_;
  std::vector<action> ready_;
  std::function<void(action)> post_;
  bool page_present_ = false;  // mirrors page_ for other threads, under mutex_
};

// The process-wide hub.
client_hub& clients();

}  // namespace kvt::server
