#include "platform/realtime_broker.hpp"

#include <gio/gio.h>

#include <cstdlib>
#include <memory>
#include <string>

namespace kvt::platform {

namespace {

constexpr const char* broker_name = "org.freedesktop.RealtimeKit1";
constexpr const char* broker_path = "/org/freedesktop/RealtimeKit1";
constexpr const char* broker_interface = "org.freedesktop.RealtimeKit1";
constexpr int call_timeout_ms = 2000;  // the broker asks polkit, which may take a moment

struct object_unref {
  void operator()(gpointer p) const noexcept { g_object_unref(p); }
};
struct variant_unref {
  void operator()(GVariant* v) const noexcept { g_variant_unref(v); }
};
struct error_free {
  void operator()(GError* e) const noexcept { g_error_free(e); }
};
using connection_ptr = std::unique_ptr<GDBusConnection, object_unref>;
using variant_ptr = std::unique_ptr<GVariant, variant_unref>;
using error_ptr = std::unique_ptr<GError, error_free>;

std::string message_of(const error_ptr& error) {
  if (!error) return "no answer";
  if (g_dbus_error_is_remote_error(error.get()) != 0) {
    // The remote error's name says more than GIO's wrapped message.
    char* name = g_dbus_error_get_remote_error(error.get());
    g_dbus_error_strip_remote_error(error.get());
    std::string text = std::string(name != nullptr ? name : "error") + ": " + error->message;
    g_free(name);
    return text;
  }
  return error->message;
}

// A connection of our own rather than GIO's shared system-bus object: that
// one ends the whole process when the bus goes away.
connection_ptr connect(std::string& reason) {
  GError* raw = nullptr;
  std::string address;
  if (const char* chosen = std::getenv(realtime_broker_bus_variable); chosen != nullptr && *chosen != '\0') {
    address = chosen;
  } else {
    char* system = g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SYSTEM, nullptr, &raw);
    if (system == nullptr) {
      reason = "no system bus: " + message_of(error_ptr(raw));
      return nullptr;
    }
    address = system;
    g_free(system);
  }
  const auto flags = static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                                       G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION);
  connection_ptr connection(g_dbus_connection_new_for_address_sync(address.c_str(), flags, nullptr, nullptr, &raw));
  if (!connection) reason = "cannot reach the bus at " + address + ": " + message_of(error_ptr(raw));
  return connection;
}

variant_ptr call(GDBusConnection* connection, const char* interface, const char* method, GVariant* arguments,
                 const GVariantType* reply_type, std::string& reason) {
  GError* raw = nullptr;
  variant_ptr reply(g_dbus_connection_call_sync(connection, broker_name, broker_path, interface, method, arguments,
                                                reply_type, G_DBUS_CALL_FLAGS_NONE, call_timeout_ms, nullptr,
                                                &raw));
  if (!reply) reason = message_of(error_ptr(raw));
  return reply;
}

// The broker's lowest niceness, or `fallback` when it does not say.
int min_nice_level(GDBusConnection* connection, int fallback) {
  std::string ignored;
  variant_ptr reply = call(connection, "org.freedesktop.DBus.Properties", "Get",
                           g_variant_new("(ss)", broker_interface, "MinNiceLevel"), G_VARIANT_TYPE("(v)"), ignored);
  if (!reply) return fallback;
  GVariant* boxed = nullptr;
  g_variant_get(reply.get(), "(v)", &boxed);
  variant_ptr value(boxed);
  if (!value || !g_variant_is_of_type(value.get(), G_VARIANT_TYPE_INT32)) return fallback;
  return g_variant_get_int32(value.get());
}

}  // namespace

broker_answer ask_realtime_broker(pid_t tid, int niceness) noexcept {
  broker_answer answer;
  answer.niceness = niceness;
  try {
    connection_ptr connection = connect(answer.reason);
    if (!connection) return answer;
    if (const int lowest = min_nice_level(connection.get(), niceness); lowest > niceness) answer.niceness = lowest;
    variant_ptr reply = call(connection.get(), broker_interface, "MakeThreadHighPriority",
                             g_variant_new("(ti)", static_cast<guint64>(tid), static_cast<gint32>(answer.niceness)),
                             G_VARIANT_TYPE_UNIT, answer.reason);
    answer.granted = reply != nullptr;
    g_dbus_connection_close_sync(connection.get(), nullptr, nullptr);
  } catch (const std::exception& e) {
    answer.granted = false;
    answer.reason = e.what();
  }
  return answer;
}

}  // namespace kvt::platform
