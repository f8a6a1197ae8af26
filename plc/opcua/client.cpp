#include "plc/opcua/client.hpp"

#include <open62541/client_config_default.h>
#include <open62541/plugin/log_stdout.h>

#include <cstring>
#include <new>

namespace kvt::plc::opcua {

client::client(std::uint32_t timeout_ms) {
  UA_ClientConfig config;
  std::memset(&config, 0, sizeof config);
  config.logging = UA_Log_Stdout_new(UA_LOGLEVEL_FATAL);
  if (UA_ClientConfig_setDefault(&config) != UA_STATUSCODE_GOOD) {
    UA_ClientConfig_clear(&config);
    throw std::bad_alloc();
  }
  config.timeout = timeout_ms;
  client_ = UA_Client_newWithConfig(&config);  // takes the configuration's contents
  if (client_ == nullptr) {
    UA_ClientConfig_clear(&config);
    throw std::bad_alloc();
  }
}

client::~client() { UA_Client_delete(client_); }

UA_StatusCode client::connect(const std::string& url) noexcept { return UA_Client_connect(client_, url.c_str()); }

void client::disconnect() noexcept { UA_Client_disconnect(client_); }

bool client::session_active() const noexcept {
  UA_SecureChannelState channel = UA_SECURECHANNELSTATE_CLOSED;
  UA_SessionState session = UA_SESSIONSTATE_CLOSED;
  UA_StatusCode status = UA_STATUSCODE_GOOD;
  UA_Client_getState(client_, &channel, &session, &status);
  return channel == UA_SECURECHANNELSTATE_OPEN && session == UA_SESSIONSTATE_ACTIVATED && status == UA_STATUSCODE_GOOD;
}

}  // namespace kvt::plc::opcua
