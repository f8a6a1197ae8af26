// A stand-in for the desktop's realtime broker on a test's private D-Bus bus.
// It owns the broker's name, answers its two priority calls and its three
// properties, and writes one line per call to standard output:
//   high <thread> <niceness> <caller pid>
//   realtime <thread> <priority> <caller pid>
// It changes no thread's priority. "ready" is written once the name is owned.
//
//   kvt_stand_in_broker ADDRESS [--min-nice N] [--refuse]
// With --refuse every call is answered with an access error, as a broker
// does for a caller polkit turns away.
#include <gio/gio.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

constexpr const char* introspection = R"(<node>
  <interface name="org.freedesktop.RealtimeKit1">
    <method name="MakeThreadRealtime"><arg name="thread" type="t" direction="in"/><arg name="priority" type="u" direction="in"/></method>
    <method name="MakeThreadHighPriority"><arg name="thread" type="t" direction="in"/><arg name="priority" type="i" direction="in"/></method>
    <property name="RTTimeUSecMax" type="x" access="read"/>
    <property name="MaxRealtimePriority" type="i" access="read"/>
    <property name="MinNiceLevel" type="i" access="read"/>
  </interface>
</node>)";

struct broker_state {
  int min_nice = -15;
  bool refuse = false;
};

// The caller's process id, as the real broker looks it up.
unsigned caller_pid(GDBusConnection* connection, const char* sender) {
  GVariant* reply = g_dbus_connection_call_sync(connection, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                                "org.freedesktop.DBus", "GetConnectionUnixProcessID",
                                                g_variant_new("(s)", sender), G_VARIANT_TYPE("(u)"),
                                                G_DBUS_CALL_FLAGS_NONE, -1, nullptr, nullptr);
  if (reply == nullptr) return 0;
  guint32 pid = 0;
  g_variant_get(reply, "(u)", &pid);
  g_variant_unref(reply);
  return pid;
}

void on_call(GDBusConnection* connection, const gchar* sender, const gchar*, const gchar*, const gchar* method,
             GVariant* parameters, GDBusMethodInvocation* invocation, gpointer data) {
  const auto* state = static_cast<const broker_state*>(data);
  guint64 thread = 0;
  const unsigned pid = caller_pid(connection, sender);
  if (g_strcmp0(method, "MakeThreadHighPriority") == 0) {
    gint32 niceness = 0;
    g_variant_get(parameters, "(ti)", &thread, &niceness);
    std::printf("high %llu %d %u\n", static_cast<unsigned long long>(thread), niceness, pid);
    if (!state->refuse && niceness < state->min_nice) {
      g_dbus_method_invocation_return_dbus_error(invocation, "org.freedesktop.DBus.Error.AccessDenied",
                                                 "below the lowest niceness");
      std::fflush(stdout);
      return;
    }
  } else {
    guint32 priority = 0;
    g_variant_get(parameters, "(tu)", &thread, &priority);
    std::printf("realtime %llu %u %u\n", static_cast<unsigned long long>(thread), priority, pid);
  }
  std::fflush(stdout);
  if (state->refuse) {
    g_dbus_method_invocation_return_dbus_error(invocation, "org.freedesktop.DBus.Error.AccessDenied",
                                               "Operation not permitted");
    return;
  }
  g_dbus_method_invocation_return_value(invocation, nullptr);
}

GVariant* on_get(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* name, GError** error,
                 gpointer data) {
  const auto* state = static_cast<const broker_state*>(data);
  if (g_strcmp0(name, "MinNiceLevel") == 0) return g_variant_new_int32(state->min_nice);
  if (g_strcmp0(name, "MaxRealtimePriority") == 0) return g_variant_new_int32(20);
  if (g_strcmp0(name, "RTTimeUSecMax") == 0) return g_variant_new_int64(200000);
  g_set_error(error, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_PROPERTY, "no property %s", name);
  return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s ADDRESS [--min-nice N] [--refuse]\n", argv[0]);
    return 2;
  }
  broker_state state;
  for (int i = 2; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--refuse") state.refuse = true;
    if (arg == "--min-nice" && i + 1 < argc) state.min_nice = std::atoi(argv[++i]);
  }
  GError* error = nullptr;
  const auto flags = static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                                       G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION);
  GDBusConnection* connection = g_dbus_connection_new_for_address_sync(argv[1], flags, nullptr, nullptr, &error);
  if (connection == nullptr) {
    std::fprintf(stderr, "stand-in broker: %s\n", error->message);
    return 1;
  }
  GDBusNodeInfo* node = g_dbus_node_info_new_for_xml(introspection, nullptr);
  const GDBusInterfaceVTable vtable{on_call, on_get, nullptr, {}};
  if (g_dbus_connection_register_object(connection, "/org/freedesktop/RealtimeKit1", node->interfaces[0], &vtable,
                                        &state, nullptr, &error) == 0) {
    std::fprintf(stderr, "stand-in broker: %s\n", error->message);
    return 1;
  }
  GVariant* owned = g_dbus_connection_call_sync(
      connection, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "RequestName",
      g_variant_new("(su)", "org.freedesktop.RealtimeKit1", 4u /* do not queue */), G_VARIANT_TYPE("(u)"),
      G_DBUS_CALL_FLAGS_NONE, -1, nullptr, &error);
  if (owned == nullptr) {
    std::fprintf(stderr, "stand-in broker: %s\n", error->message);
    return 1;
  }
  g_variant_unref(owned);
  std::printf("ready\n");
  std::fflush(stdout);
  GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
  g_main_loop_run(loop);  // until the test ends the process
  return 0;
}
