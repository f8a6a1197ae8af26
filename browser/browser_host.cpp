#include "browser/browser_host.hpp"

#include <glib-unix.h>
#include <gtk/gtk.h>
#include <webkit/webkit.h>

#include <csignal>
#include <cstdlib>

#include "platform/termination.hpp"
#include "platform/thread_priority.hpp"
#include "browser/client_handler.hpp"
#include "browser/desktop.hpp"
#include "browser/gobject_ptr.hpp"
#include "browser/message_dialog.hpp"
#include "browser/navigation_policy.hpp"
#include "browser/session_cookie.hpp"
#include "browser/web_settings.hpp"
#include "browser/window_geometry.hpp"
#include "renderer/process_messages.hpp"

namespace kvt::browser {

namespace {

constexpr const char* icon_name = "kestrel-connect";

struct host_state {
  GtkApplication* app = nullptr;
  const browser_settings* settings = nullptr;
  const browser_buffers* buffers = nullptr;
  std::unique_ptr<client_handler> handler;
  GtkWindow* window = nullptr;
  guint inhibit_cookie = 0;
};

WebKitWebContext* make_web_context(const browser_settings& s) {
  WebKitWebContext* context = webkit_web_context_new();
  const std::string dir = s.extension_directory.string();
  webkit_web_context_set_web_process_extensions_directory(context, dir.c_str());
  webkit_web_context_add_path_to_sandbox(context, dir.c_str(), TRUE);
  // The page reads and writes the user's files (models, exports) through
  // connect.fileSystem inside the sandboxed web process: it sees the home
  // and temporary directories, nothing else of the system.
  for (const std::filesystem::path& p : s.file_access)
    if (!p.empty()) webkit_web_context_add_path_to_sandbox(context, p.c_str(), FALSE);
  webkit_web_context_set_web_process_extensions_initialization_user_data(
      context, g_variant_new(page::messages::bridge_settings_type, static_cast<guint32>(s.options.port),
                             s.options.dev ? TRUE : FALSE));
  webkit_web_context_set_cache_model(context, WEBKIT_CACHE_MODEL_WEB_BROWSER);
  return context;
}

WebKitNetworkSession* make_network_session(const browser_settings& s) {
  if (s.cache_directory.empty()) return webkit_network_session_new_ephemeral();
  const std::string data = (s.cache_directory / "data").string();
  const std::string cache = (s.cache_directory / "cache").string();
  return webkit_network_session_new(data.c_str(), cache.c_str());
}

gboolean on_close_request(GtkWindow*, gpointer data) {
  static_cast<host_state*>(data)->handler->request_close();
  return TRUE;  // the window goes when the page has agreed
}

// The running window's state, while `run_browser` runs; and whether a
// request to end came before it ran. UI thread only.
host_state* active_state = nullptr;
std::atomic<bool> termination_requested{false};

gboolean on_termination_signal(gpointer data) {
  auto* state = static_cast<host_state*>(data);
  if (state->window != nullptr)
    state->handler->request_close();
  else
    g_application_quit(G_APPLICATION(state->app));  // asked to end before the window exists
  return G_SOURCE_CONTINUE;
}

// The handler of SIGINT and SIGTERM from start-up on: remembered until the
// window's loop runs, then passed to it.
gboolean on_any_termination_signal(gpointer) {
  if (active_state != nullptr) return on_termination_signal(active_state);
  termination_requested.store(true);
  return G_SOURCE_CONTINUE;
}

void on_window_destroyed(GtkWidget*, gpointer data) {
  auto* state = static_cast<host_state*>(data);
  remove_message_dialogs();
  set_session_view(nullptr, nullptr);
  state->window = nullptr;
}

void on_activate(GtkApplication* app, gpointer data) {
  auto* state = static_cast<host_state*>(data);
  const browser_settings& s = *state->settings;

  // The process works in real time from here on: higher priority, and no
  // suspend or idle while it runs.
  platform::raise_process_priority();

  if (!s.icon_directory.empty()) {
    GtkIconTheme* theme = gtk_icon_theme_get_for_display(gdk_display_get_default());
    gtk_icon_theme_add_search_path(theme, s.icon_directory.c_str());
  }
  gtk_window_set_default_icon_name(icon_name);

  auto context = adopt(make_web_context(s));
  auto session = adopt(make_network_session(s));
  auto web_settings = adopt(make_web_settings(s.options.runner, s.options.tools));
  auto* view = WEBKIT_WEB_VIEW(g_object_new(WEBKIT_TYPE_WEB_VIEW, "web-context", context.get(), "network-session",
                                            session.get(), "settings", web_settings.get(), nullptr));

  GtkWidget* window = gtk_application_window_new(app);
  state->window = GTK_WINDOW(window);
  gtk_window_set_title(state->window, window_title);
  gtk_window_set_icon_name(state->window, icon_name);
  const window_size size = initial_window_size(desktop_size());
  gtk_window_set_default_size(state->window, size.width, size.height);
  gtk_window_set_child(state->window, GTK_WIDGET(view));

  state->handler = std::make_unique<client_handler>(s, *state->buffers);
  state->handler->attach(state->window, view);
  set_session_view(view, &s.options);
  g_signal_connect(window, "close-request", G_CALLBACK(on_close_request), state);
  g_signal_connect(window, "destroy", G_CALLBACK(on_window_destroyed), state);
  install_message_dialogs(state->window);

  state->inhibit_cookie = gtk_application_inhibit(
      app, state->window, static_cast<GtkApplicationInhibitFlags>(GTK_APPLICATION_INHIBIT_SUSPEND | GTK_APPLICATION_INHIBIT_IDLE),
      "A simulation is running");

  switch (parse_show_state(s.options.initial_show_state)) {
    case show_state::minimized: gtk_window_minimize(state->window); break;
    case show_state::maximized: gtk_window_maximize(state->window); break;
    case show_state::normal: break;
  }
  gtk_window_present(state->window);
  webkit_web_view_load_uri(view, start_url(s.options.dev, s.options.staging).c_str());
}

}  // namespace

bool init_display() { return gtk_init_check() != FALSE; }

void run_ui_until(const std::atomic<bool>& flag) {
  while (!flag.load()) g_main_context_iteration(nullptr, TRUE);
}

// The wake-up is kept until the loop next looks, so it is never lost.
void wake_ui_thread() { g_main_context_wakeup(nullptr); }

void catch_termination_signals() {
  g_unix_signal_add(SIGTERM, on_any_termination_signal, nullptr);
  g_unix_signal_add(SIGINT, on_any_termination_signal, nullptr);
}

void prepare_web_process_environment() {
  // The web processes inherit this environment. Without it JavaScriptCore's
  // cage refuses ArrayBuffers over memory it did not allocate.
  setenv("GIGACAGE_ENABLED", "0", 1);
}

int run_browser(const browser_settings& settings, const browser_buffers& buffers) {
  host_state state;
  state.settings = &settings;
  state.buffers = &buffers;
  auto app = adopt(gtk_application_new(application_id, G_APPLICATION_NON_UNIQUE));
  state.app = app.get();
  g_signal_connect(app.get(), "activate", G_CALLBACK(on_activate), &state);
  // A request to end that came before the window is answered without one.
  if (termination_requested.load()) return 0;
  active_state = &state;
  // SIGINT and SIGTERM have been blocked in this thread since start-up; they
  // are let in now that the loop takes them.
  platform::unblock_termination_signals();
  char name[] = "kestrel-connect";
  char* argv[] = {name, nullptr};
  const int status = g_application_run(G_APPLICATION(app.get()), 1, argv);
  active_state = nullptr;
  if (state.inhibit_cookie != 0) gtk_application_uninhibit(app.get(), state.inhibit_cookie);
  state.handler.reset();
  return status;
}

}  // namespace kvt::browser
