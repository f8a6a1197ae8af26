#include "plc/mqtt/client.hpp"

#include <utility>

namespace kvt::plc::mqtt {

namespace {
constexpr int disconnect_timeout_ms = 1000;
}

client& client::operator=(client&& other) noexcept {
  if (this != &other) {
    reset();
    handle_ = std::exchange(other.handle_, nullptr);
    connected_once_ = other.connected_once_;
  }
  return *this;
}

bool client::create(const std::string& uri, const std::string& client_id) {
  reset();
  MQTTClient handle = nullptr;
  if (MQTTClient_create(&handle, uri.c_str(), client_id.c_str(), MQTTCLIENT_PERSISTENCE_NONE, nullptr) !=
      MQTTCLIENT_SUCCESS) {
    // The library may have built part of a client before refusing.
    if (handle != nullptr) MQTTClient_destroy(&handle);
    return false;
  }
  handle_ = handle;
  connected_once_ = false;
  return true;
}

bool client::connect(MQTTClient_connectOptions& options) {
  if (handle_ == nullptr) return false;
  connected_once_ = MQTTClient_connect(handle_, &options) == MQTTCLIENT_SUCCESS;
  return connected_once_;
}

void client::reset() noexcept {
  if (handle_ == nullptr) return;
  if (connected_once_) MQTTClient_disconnect(handle_, disconnect_timeout_ms);
  MQTTClient_destroy(&handle_);
  handle_ = nullptr;
  connected_once_ = false;
}

}  // namespace kvt::plc::mqtt
