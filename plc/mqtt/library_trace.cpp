#include "plc/mqtt/library_trace.hpp"

#include <MQTTClient.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace kvt::plc::mqtt {

namespace {

bool asked_by_environment() noexcept {
  const char* value = std::getenv("KESTREL_MQTT_TRACE");
  return value != nullptr && *value != '\0' && std::strcmp(value, "0") != 0;
}

std::atomic<bool>& switch_state() noexcept {
  static std::atomic<bool> on{asked_by_environment()};
  return on;
}

void to_standard_error(enum MQTTCLIENT_TRACE_LEVELS level, char* message) {
  std::fprintf(stderr, "mqtt trace %d: %s\n", static_cast<int>(level), message != nullptr ? message : "");
}

}  // namespace

void set_library_trace(bool on) noexcept { switch_state().store(on); }

bool library_trace() noexcept { return switch_state().load(); }

void apply_library_trace() noexcept {
  MQTTClient_setTraceLevel(MQTTCLIENT_TRACE_ERROR);
  MQTTClient_setTraceCallback(library_trace() ? &to_standard_error : nullptr);
}

}  // namespace kvt::plc::mqtt
