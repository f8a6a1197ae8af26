#include "browser/load_error_handler.hpp"

namespace kvt::browser {

namespace {

load_error_handler& self_of(gpointer data) { return *static_cast<load_error_handler*>(data); }

}  // namespace

load_error_handler::load_error_handler(bool dev) : dev_(dev), retry_([this] { attempt_again(); }) {}

load_error_handler::~load_error_handler() {
  if (view_ == nullptr) return;
  g_signal_handlers_disconnect_by_data(view_, this);
  g_object_remove_weak_pointer(G_OBJECT(view_), reinterpret_cast<gpointer*>(&view_));
}

void load_error_handler::attach(WebKitWebView* view) {
  view_ = view;
  g_object_add_weak_pointer(G_OBJECT(view_), reinterpret_cast<gpointer*>(&view_));
  g_signal_connect(view, "load-failed", G_CALLBACK(on_load_failed), this);
  g_signal_connect(view, "load-failed-with-tls-errors", G_CALLBACK(on_load_failed_with_tls_errors), this);
  g_signal_connect(view, "load-changed", G_CALLBACK(on_load_changed), this);
}

gboolean load_error_handler::on_load_failed(WebKitWebView*, WebKitLoadEvent, gchar* uri, GError* error, gpointer data) {
  load_error_handler& h = self_of(data);
  h.current_failed_ = true;  // its "finished" is not a page
  if (error == nullptr || is_stopped_load(*error)) return FALSE;  // nothing to show; the engine shows nothing either
  if (h.showing_error_page_) return TRUE;  // the error page itself: never another one over it
  load_error_content content;
  content.failure = classify_load_error(*error);
  content.address = uri != nullptr ? uri : "";
  content.technical = error->message != nullptr ? error->message : "";
  content.dev = h.dev_;
  // An attempt cut off inside the network layer tells nothing of its own
  // (after a refused certificate the next attempt sometimes ends so): the
  // last explanation for the same address stands.
  if (g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED) && h.shown_.address == content.address)
    content = h.shown_;
  h.show(content);
  return TRUE;
}

// Returning TRUE without an exception for the certificate ends the load here:
// nothing of the server's answer is ever shown.
gboolean load_error_handler::on_load_failed_with_tls_errors(WebKitWebView*, gchar* uri, GTlsCertificate*,
                                                            GTlsCertificateFlags errors, gpointer data) {
  load_error_handler& h = self_of(data);
  h.current_failed_ = true;
  load_error_content content;
  content.failure = load_failure::certificate_not_trusted;
  content.address = uri != nullptr ? uri : "";
  content.technical = "The certificate was refused: " + tls_problems(errors) + ".";
  content.dev = h.dev_;
  h.show(content);
  return TRUE;
}

void load_error_handler::on_load_changed(WebKitWebView*, WebKitLoadEvent event, gpointer data) {
  load_error_handler& h = self_of(data);
  if (event == WEBKIT_LOAD_STARTED) {
    h.showing_error_page_ = h.error_page_pending_;
    h.error_page_pending_ = false;
    h.current_failed_ = false;
    // Another attempt (ours, "Try again" or any navigation) is under way.
    if (!h.showing_error_page_) h.retry_.disarm();
  } else if (event == WEBKIT_LOAD_FINISHED && h.current_load_is_page()) {
    h.retry_.reset();
    h.shown_ = {};
  }
}

void load_error_handler::show(const load_error_content& content) {
  shown_ = content;
  if (view_ == nullptr) return;
  error_page_pending_ = true;
  // Shown at the failed address: "Try again" and reloading go there.
  webkit_web_view_load_alternate_html(view_, load_error_page(content).c_str(), shown_.address.c_str(), nullptr);
  retry_.arm();
}

void load_error_handler::attempt_again() {
  if (view_ == nullptr || shown_.address.empty()) return;
  webkit_web_view_load_uri(view_, shown_.address.c_str());
}

}  // namespace kvt::browser
