#include "browser/client_handler.hpp"

#include <gio/gunixfdlist.h>

#include <string>

#include "platform/message_box.hpp"
#include "platform/shell_open.hpp"
#include "browser/desktop.hpp"
#include "browser/file_dialogs.hpp"
#include "browser/gobject_ptr.hpp"
#include "browser/window_geometry.hpp"
#include "renderer/process_messages.hpp"

namespace kvt::browser {

const char* const page_adjustment_script =
    "var style = document.createElement('style');style.type = 'text/css';style.innerHTML = `\n"
    "    #page {\n"
    "        border-top: 1px solid var(--bs-border-color);\n"
    "    }\n"
    "`;document.head.appendChild(style);window.print = function() { return false; };";

namespace {

constexpr const char* unsaved_changes_title = "Unsaved Changes";
constexpr const char* unsaved_changes_text = "The model contains unsaved changes. Are you sure that you want to exit?";

client_handler& self(gpointer data) { return *static_cast<client_handler*>(data); }

const char* request_uri(WebKitNavigationAction* action) {
  WebKitURIRequest* request = action != nullptr ? webkit_navigation_action_get_request(action) : nullptr;
  return request != nullptr ? webkit_uri_request_get_uri(request) : nullptr;
}

}  // namespace

client_handler::client_handler(const browser_settings& settings, const browser_buffers& buffers)
    : settings_(settings), buffers_(buffers), load_errors_(settings.options.dev) {
  policy_.dev = settings.options.dev;
  policy_.port = settings.options.port;
}

void client_handler::attach(GtkWindow* window, WebKitWebView* view) {
  window_ = window;
  view_ = view;
  g_signal_connect(view, "decide-policy", G_CALLBACK(on_decide_policy), this);
  g_signal_connect(view, "load-changed", G_CALLBACK(on_load_changed), this);
  g_signal_connect(view, "script-dialog", G_CALLBACK(on_script_dialog), this);
  g_signal_connect(view, "permission-request", G_CALLBACK(on_permission_request), this);
  g_signal_connect(view, "user-message-received", G_CALLBACK(on_user_message), this);
  g_signal_connect(view, "close", G_CALLBACK(on_close), this);
  g_signal_connect(view, "create", G_CALLBACK(on_create), this);
  load_errors_.attach(view);
}

void client_handler::request_close() {
  if (view_ != nullptr)
    webkit_web_view_try_close(view_);  // "close" follows unless the page keeps itself open
  else if (window_ != nullptr)
    gtk_window_destroy(window_);
}

gboolean client_handler::on_decide_policy(WebKitWebView*, WebKitPolicyDecision* decision,
                                          WebKitPolicyDecisionType type, gpointer data) {
  if (type != WEBKIT_POLICY_DECISION_TYPE_NAVIGATION_ACTION && type != WEBKIT_POLICY_DECISION_TYPE_NEW_WINDOW_ACTION)
    return FALSE;  // responses: WebKit's own handling
  auto* navigation = WEBKIT_NAVIGATION_POLICY_DECISION(decision);
  const char* uri = request_uri(webkit_navigation_policy_decision_get_navigation_action(navigation));

  if (type == WEBKIT_POLICY_DECISION_TYPE_NEW_WINDOW_ACTION) {
    // No popups or new windows: their target opens in the system browser.
    if (uri != nullptr && *uri != '\0') platform::shell_open(uri);
    webkit_policy_decision_ignore(decision);
    return TRUE;
  }
  const navigation_decision d = decide_navigation(uri != nullptr ? uri : "", self(data).policy_);
  switch (d.verdict) {
    case navigation_verdict::allow: webkit_policy_decision_use(decision); break;
    case navigation_verdict::open_externally:
      platform::shell_open(d.external_url);
      webkit_policy_decision_ignore(decision);
      break;
    case navigation_verdict::cancel: webkit_policy_decision_ignore(decision); break;
  }
  return TRUE;
}

GtkWidget* client_handler::on_create(WebKitWebView*, WebKitNavigationAction* action, gpointer) {
  const char* uri = request_uri(action);
  if (uri != nullptr && *uri != '\0') platform::shell_open(uri);
  return nullptr;
}

// Only the web app's own pages get the adjustment and the buffers: neither
// the error page nor the end of a load that failed.
void client_handler::on_load_changed(WebKitWebView*, WebKitLoadEvent event, gpointer data) {
  if (event == WEBKIT_LOAD_FINISHED && self(data).load_errors_.current_load_is_page()) self(data).page_loaded();
}

void client_handler::page_loaded() {
  webkit_web_view_evaluate_javascript(view_, page_adjustment_script, -1, nullptr, nullptr, nullptr, nullptr, nullptr);
  send_shared_memory();
  if (settings_.options.tools && !inspector_opened_) open_inspector();
}

// The bridge in the web process maps the buffers from the descriptors sent
// along: its sandbox has no view of this process's /dev/shm.
void client_handler::send_shared_memory() {
  if (buffers_.command == nullptr || buffers_.signal == nullptr || buffers_.ros == nullptr) return;
  if (!buffers_.command->is_open() || !buffers_.signal->is_open() || !buffers_.ros->is_open()) return;
  auto fds = adopt(g_unix_fd_list_new());
  for (const shared_memory* m : {buffers_.command, buffers_.signal, buffers_.ros})
    if (g_unix_fd_list_append(fds.get(), m->fd(), nullptr) < 0) return;
  GVariant* params = g_variant_new(
      page::messages::setup_shared_memory_type, buffers_.command->name().c_str(),
      static_cast<gint32>(buffers_.command->size()), buffers_.signal->name().c_str(),
      static_cast<gint32>(buffers_.signal->size()), buffers_.ros->name().c_str(), static_cast<gint32>(buffers_.ros->size()));
  webkit_web_view_send_message_to_page(
      view_, webkit_user_message_new_with_fd_list(page::messages::setup_shared_memory, params, fds.get()), nullptr,
      nullptr, nullptr);
}

namespace {

// The inspector's own window: 800 wide, 1080 or 1440 high with the desktop.
gboolean size_inspector_window(gpointer data) {
  auto* inspector = static_cast<WebKitWebInspector*>(data);
  WebKitWebViewBase* inspector_view = webkit_web_inspector_get_web_view(inspector);
  GtkRoot* root = inspector_view != nullptr ? gtk_widget_get_root(GTK_WIDGET(inspector_view)) : nullptr;
  if (root != nullptr && GTK_IS_WINDOW(root)) {
    const window_size size = inspector_window_size(desktop_size());
    gtk_window_set_default_size(GTK_WINDOW(root), size.width, size.height);
  }
  g_object_unref(inspector);
  return G_SOURCE_REMOVE;
}

}  // namespace

void client_handler::open_inspector() {
  inspector_opened_ = true;
  WebKitWebInspector* inspector = webkit_web_view_get_inspector(view_);
  webkit_web_inspector_show(inspector);
  webkit_web_inspector_detach(inspector);
  g_idle_add(size_inspector_window, g_object_ref(inspector));
}

gboolean client_handler::on_script_dialog(WebKitWebView*, WebKitScriptDialog* dialog, gpointer data) {
  if (webkit_script_dialog_get_dialog_type(dialog) != WEBKIT_SCRIPT_DIALOG_BEFORE_UNLOAD_CONFIRM) return FALSE;
  bool leave = true;
  if (!self(data).settings_.options.runner) {
    const auto answer = platform::show_message_box(platform::message_box_buttons::yes_no,
                                                   platform::message_box_icon::warning, unsaved_changes_title,
                                                   unsaved_changes_text);
    leave = answer != platform::message_box_answer::no;
  }
  webkit_script_dialog_confirm_set_confirmed(dialog, leave ? TRUE : FALSE);
  return TRUE;
}

gboolean client_handler::on_permission_request(WebKitWebView*, WebKitPermissionRequest* request, gpointer) {
  if (!WEBKIT_IS_USER_MEDIA_PERMISSION_REQUEST(request)) return FALSE;
  webkit_permission_request_allow(request);
  return TRUE;
}

gboolean client_handler::on_user_message(WebKitWebView* view, WebKitUserMessage* message, gpointer data) {
  if (g_strcmp0(webkit_user_message_get_name(message), page::messages::file_dialog_request) != 0) return FALSE;
  run_file_dialog(self(data).window_, view, message);
  return TRUE;
}

void client_handler::on_close(WebKitWebView*, gpointer data) {
  client_handler& h = self(data);
  GtkWindow* window = h.window_;
  h.view_ = nullptr;
  h.window_ = nullptr;
  if (window != nullptr) gtk_window_destroy(window);
}

}  // namespace kvt::browser
