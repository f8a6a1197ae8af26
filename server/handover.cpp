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

void post_text(std::weak_ptr<connection> target, std::string message) {
  post_to_server([target = std::move(target), message = std::move(message)]() mutable {
    if (const auto c = target.lock(); c && c->is_open()) c->send_text(std::move(message));
  });
}

}  // namespace kvt::server
