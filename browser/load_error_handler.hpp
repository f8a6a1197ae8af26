// Failed loads of the web view's main frame: instead of the engine's bare
// message, the program's own error page (load_error_page) with what went
// wrong, and the failed address loaded again by itself (load_retry) until a
// page arrives. Stopped loads (cancelled, or refused by the navigation
// policy) show nothing; a certificate problem never lets the load go on.
// Sub-frames keep the engine's behaviour: their failures never reach here.
#pragma once

#include <webkit/webkit.h>

#include "browser/load_error_page.hpp"
#include "browser/load_retry.hpp"

namespace kvt::browser {

class load_error_handler {
 public:
  // `dev`: the page says where the development server is expected.
  explicit load_error_handler(bool dev);
  ~load_error_handler();
  load_error_handler(const load_error_handler&) = delete;
  load_error_handler& operator=(const load_error_handler&) = delete;

  // Watches the view's loads from now on (once; the view may go first).
  void attach(WebKitWebView* view);

  // True while the view's current load is a page of its own: neither the
  // error page nor a load that has failed. A finished load is the web app's
  // only when this holds.
  bool current_load_is_page() const noexcept { return !showing_error_page_ && !current_failed_; }
  bool showing_error_page() const noexcept { return showing_error_page_; }
  const load_retry& retry() const noexcept { return retry_; }

 private:
  static gboolean on_load_failed(WebKitWebView*, WebKitLoadEvent, gchar* uri, GError*, gpointer self);
  static gboolean on_load_failed_with_tls_errors(WebKitWebView*, gchar* uri, GTlsCertificate*,
                                                 GTlsCertificateFlags, gpointer self);
  static void on_load_changed(WebKitWebView*, WebKitLoadEvent, gpointer self);

  void show(const load_error_content& content);
  void attempt_again();

  bool dev_;
  WebKitWebView* view_ = nullptr;  // cleared by GObject when the view goes
  load_error_content shown_;  // what the error page says, with the failed address
  bool error_page_pending_ = false;  // the error page was asked for; its load has not started
  bool showing_error_page_ = false;  // the current load is the error page
  bool current_failed_ = false;      // the current load failed (or was stopped)
  load_retry retry_;
};

}  // namespace kvt::browser
