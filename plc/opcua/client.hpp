// An open62541 client owned for its whole life: created with the default
// configuration and a standard-output logger that prints fatal messages
// only, deleted (and so disconnected) by the destructor.
#pragma once

#include <open62541/client.h>

#include <cstdint>
#include <string>

namespace kvt::plc::opcua {

class client {
 public:
  // `timeout_ms` bounds every connection attempt and service call.
  explicit client(std::uint32_t timeout_ms);
  ~client();
  client(const client&) = delete;
  client& operator=(const client&) = delete;

  UA_Client* get() const noexcept { return client_; }

  // Opens a secure channel and a session to `url`.
  UA_StatusCode connect(const std::string& url) noexcept;
  // Closes the session and channel; safe when not connected.
  void disconnect() noexcept;
  // Whether the channel is open and the session active. Call it only from
  // the thread that uses the client: the library holds the client's lock
  // for the whole of a service call.
  bool session_active() const noexcept;

 private:
  UA_Client* client_ = nullptr;
};

}  // namespace kvt::plc::opcua
