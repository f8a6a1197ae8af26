// Entry point of the page bridge, loaded by WebKit into each web process.
// It installs `connect` in every frame's script context, rewrites the web
// app's start request with the command server's port and the version, and
// takes the window's messages.
#include <webkit/webkit-web-process-extension.h>

#include <cstring>
#include <string>

#include "platform/thread_priority.hpp"
#include "browser/navigation_policy.hpp"
#include "renderer/file_system_functions.hpp"
#include "renderer/page_bridge.hpp"
#include "renderer/process_messages.hpp"

namespace {

using namespace kvt;

page::page_bridge& bridge() {
  static page::page_bridge instance;
  return instance;
}

browser::policy_settings& settings() {
  static browser::policy_settings instance;
  return instance;
}

// The window's error page arrives as substitute content: its main frame
// carries the failed address while its document has none ("about:blank").
bool is_error_page(WebKitFrame* frame, JSCContext* context) {
  if (!webkit_frame_is_main_frame(frame)) return false;
  const char* uri = webkit_frame_get_uri(frame);
  if (uri == nullptr || std::strcmp(uri, "about:blank") == 0) return false;
  auto global = adopt(jsc_context_get_global_object(context));
  auto document = global ? adopt(jsc_value_object_get_property(global.get(), "document")) : nullptr;
  auto url = document && jsc_value_is_object(document.get())
                 ? adopt(jsc_value_object_get_property(document.get(), "URL"))
                 : nullptr;
  if (!url || !jsc_value_is_string(url.get())) return false;
  gchar_ptr text(jsc_value_to_string(url.get()));
  return text && std::strcmp(text.get(), "about:blank") == 0;
}

void on_window_object_cleared(WebKitScriptWorld* world, WebKitWebPage* page, WebKitFrame* frame, gpointer) {
  platform::raise_process_priority();
  auto context = adopt(webkit_frame_get_js_context_for_script_world(frame, world));
  // The error page gets no bridge: it runs no script and has no use for one.
  if (context && !is_error_page(frame, context.get())) bridge().context_created(page, context.get());
}

gboolean on_send_request(WebKitWebPage*, WebKitURIRequest* request, WebKitURIResponse*, gpointer) {
  const char* uri = webkit_uri_request_get_uri(request);
  if (uri == nullptr) return FALSE;
  const std::string rewritten = browser::add_start_query(uri, settings());
  if (!rewritten.empty()) webkit_uri_request_set_uri(request, rewritten.c_str());
  return FALSE;  // the request goes on
}

gboolean on_page_message(WebKitWebPage*, WebKitUserMessage* message, gpointer) {
  const char* name = webkit_user_message_get_name(message);
  if (std::strcmp(name, page::messages::setup_shared_memory) == 0) {
    bridge().setup_shared_memory(message);
    return TRUE;
  }
  if (std::strcmp(name, page::messages::file_dialog_response) == 0) {
    page::settle_file_dialog(message);
    return TRUE;
  }
  return FALSE;
}

void on_page_created(WebKitWebProcessExtension*, WebKitWebPage* page, gpointer) {
  g_signal_connect(page, "send-request", G_CALLBACK(on_send_request), nullptr);
  g_signal_connect(page, "user-message-received", G_CALLBACK(on_page_message), nullptr);
}

}  // namespace

extern "C" G_MODULE_EXPORT void webkit_web_process_extension_initialize_with_user_data(
    WebKitWebProcessExtension* extension, const GVariant* user_data) {
  auto* data = const_cast<GVariant*>(user_data);
  if (data != nullptr && g_variant_is_of_type(data, G_VARIANT_TYPE(page::messages::bridge_settings_type))) {
    guint32 port = 0;
    gboolean dev = FALSE;
    g_variant_get(data, page::messages::bridge_settings_type, &port, &dev);
    settings().port = port;
    settings().dev = dev != 0;
  }
  g_signal_connect(extension, "page-created", G_CALLBACK(on_page_created), nullptr);
  g_signal_connect(webkit_script_world_get_default(), "window-object-cleared", G_CALLBACK(on_window_object_cleared),
                   nullptr);
}
