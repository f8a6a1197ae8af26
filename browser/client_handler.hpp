// The web view's client: navigation policy and sign-in hand-off, the page
// adjustment and "SetupSharedMemory" after each load of the web app, the
// error page when it cannot be loaded, the unsaved-changes
// prompt, media permissions, the inspector in tools mode, the page's file
// dialogs, and closing.
#pragma once

#include <webkit/webkit.h>

#include "browser/browser_host.hpp"
#include "browser/load_error_handler.hpp"
#include "browser/navigation_policy.hpp"

namespace kvt::browser {

class client_handler {
 public:
  client_handler(const browser_settings& settings, const browser_buffers& buffers);

  // Connects the handler to the view and its window. The handler must
  // outlive both.
  void attach(GtkWindow* window, WebKitWebView* view);

  // The window asks to close: the page's unload handlers (and the
  // unsaved-changes prompt) run first; the window goes when the page agrees.
  void request_close();

 private:
  static gboolean on_decide_policy(WebKitWebView*, WebKitPolicyDecision*, WebKitPolicyDecisionType, gpointer);
  static void on_load_changed(WebKitWebView*, WebKitLoadEvent, gpointer);
  static gboolean on_script_dialog(WebKitWebView*, WebKitScriptDialog*, gpointer);
  static gboolean on_permission_request(WebKitWebView*, WebKitPermissionRequest*, gpointer);
  static gboolean on_user_message(WebKitWebView*, WebKitUserMessage*, gpointer);
  static void on_close(WebKitWebView*, gpointer);
  static GtkWidget* on_create(WebKitWebView*, WebKitNavigationAction*, gpointer);

  void page_loaded();
  void send_shared_memory();
  void open_inspector();

  const browser_settings& settings_;
  browser_buffers buffers_;
  policy_settings policy_;
  GtkWindow* window_ = nullptr;
  WebKitWebView* view_ = nullptr;
  bool inspector_opened_ = false;
  load_error_handler load_errors_;
};

// The stylesheet and script run in the main frame after each load: a top
// border on the element of id "page", and a print function that does nothing.
extern const char* const page_adjustment_script;

}  // namespace kvt::browser
