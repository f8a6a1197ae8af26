#include "server/handover.hpp"

#include <mutex>
#include <utility>

namespace kvt::server {

namespace {
std::mutex poster_mutex;
server_poster& poster() {
  static server_poster instance;
  return instance;
}
}  // namespace

void set_server_poster(server_poster p) {
  std::lock_guard lock(poster_mutex);
  poster() = std::move(p);
}

bool post_to_server(std::function<void()> work) {
  std::lock_guard lock(poster_mutex);
  if (!poster()) return false;
  poster()(std::move(work));
  return true;
}

void post_event(std::weak_ptr<connection> target, std::string message) {
  post_event(std::move(target), std::move(message), nullptr);
}

void post_event(std::weak_ptr<connection> target, std::string message, std::shared_ptr<const void> hold) {
  // Copies of the work (std::function may copy) share the one holder, so it
  // goes when the last of them has run or been destroyed unrun.
  post_to_server([target = std::move(target), message = std::move(message), hold = std::move(hold)]() mutable {
    if (const auto c = target.lock(); c && c->is_open()) c->send_event(std::move(message));
  });
}

std::shared_ptr<const void> handover_budget::claim() {
  struct place {
    std::shared_ptr<handover_budget> budget;
    explicit place(std::shared_ptr<handover_budget> b) : budget(std::move(b)) {}
    place(const place&) = delete;
    place& operator=(const place&) = delete;
    ~place() { budget->in_flight_.fetch_sub(1); }
  };
  auto self = shared_from_this();
  if (in_flight_.fetch_add(1) >= limit_) {
    in_flight_.fetch_sub(1);
    return nullptr;
  }
  try {
    return std::make_shared<const place>(std::move(self));
  } catch (...) {
    in_flight_.fetch_sub(1);
    throw;
  }
}

}  // namespace kvt::server
