// Ownership of one Paho synchronous client handle: created by `create`,
// disconnected (if it was connected) and destroyed when the owner lets go.
#pragma once

#include <MQTTClient.h>

#include <string>

namespace kvt::plc::mqtt {

class client {
 public:
  client() = default;
  ~client() { reset(); }
  client(client&& other) noexcept : handle_(other.handle_), connected_once_(other.connected_once_) {
    other.handle_ = nullptr;
  }
  client& operator=(client&& other) noexcept;
  client(const client&) = delete;
  client& operator=(const client&) = delete;

  // A client for `uri` with no persistence; false when the library refuses.
  bool create(const std::string& uri, const std::string& client_id);

  // Connects with the options; remembers success so that `reset` says goodbye.
  bool connect(MQTTClient_connectOptions& options);

  // Disconnects (1 s for the broker to take it) and destroys the handle.
  void reset() noexcept;

  MQTTClient get() const noexcept { return handle_; }
  explicit operator bool() const noexcept { return handle_ != nullptr; }

 private:
  MQTTClient handle_ = nullptr;
  bool connected_once_ = false;
};

}  // namespace kvt::plc::mqtt
