#include "server/client_hub.hpp"

#include <algorithm>
#include <thread>

#include "renderer/page_contract.hpp"

namespace kvt::server {

namespace {
std::string one_byte(std::uint8_t b) { return std::string(1, static_cast<char>(b)); }

// The server thread that is attached, for `when_page_connected`.
thread_local bool on_server_thread = false;
}  // namespace

void client_hub::on_open(const connection_ptr& c) {
  clients_.push_back(c);
  if (page_) c->send_binary(one_byte(page::command::message_register_page));
}

void client_hub::on_close(const connection* c) {
  std::erase_if(clients_, [&](const connection_ptr& p) { return p.get() == c; });
  if (page_.get() == c) {
    std::lock_guard lock(mutex_);
    page_.reset();
    page_present_ = false;
  }
}

void client_hub::register_page(const connection_ptr& c) {
  std::vector<action> queued;
  {
    std::lock_guard lock(mutex_);
    std::erase_if(clients_, [&](const connection_ptr& p) { return p == c; });
    page_ = c;
    page_present_ = true;
    queued.swap(ready_);
  }
  // Outside the lock, so that an action may queue further actions; anything
  // other threads hand over meanwhile is posted and runs after these.
  for (auto& a : queued) a();
  const auto note = std::make_shared<const std::string>(one_byte(page::command::message_register_page));
  for (const auto& client : clients_) client->send_binary(note);
}

void client_hub::when_page_connected(action a) {
  std::unique_lock lock(mutex_);
  if (!page_present_) {
    ready_.push_back(std::move(a));
    return;
  }
  if (on_server_thread) {
    lock.unlock();
    a();
    return;
  }
  if (post_) {
    // Another thread: the action touches connections, so it runs on the
    // server thread, and only if a page is still there by then.
    post_([this, a = std::move(a)]() mutable {
      if (page_) a();
      else when_page_connected(std::move(a));
    });
  } else {
    ready_.push_back(std::move(a));
  }
}

void client_hub::attach(std::function<void(action)> post) {
  std::lock_guard lock(mutex_);
  post_ = std::move(post);
  on_server_thread = true;
}

void client_hub::detach() {
  std::lock_guard lock(mutex_);
  post_ = nullptr;
  page_.reset();
  page_present_ = false;
  clients_.clear();
  on_server_thread = false;
}

client_hub& clients() {
  static client_hub hub;
  return hub;
}

}  // namespace kvt::server
