// The MQTT client library's own trace. It is silent unless asked for, either
// by `set_library_trace(true)` or by the environment variable
// KESTREL_MQTT_TRACE set to anything but "" or "0"; then its error-level
// messages go to standard error.
#pragma once

namespace kvt::plc::mqtt {

void set_library_trace(bool on) noexcept;
bool library_trace() noexcept;

// Sets the library's trace level and routes its messages as asked. Called
// before each connection.
void apply_library_trace() noexcept;

}  // namespace kvt::plc::mqtt
