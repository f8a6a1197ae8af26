#include "browser/session_cookie.hpp"

#include <libsoup/soup.h>

#include "app/deployment.hpp"
#include "browser/navigation_policy.hpp"
#include "server/sign_in_routes.hpp"

namespace kvt::browser {

namespace {

WebKitWebView* session_view = nullptr;
const launch_options_record* session_options = nullptr;

WebKitCookieManager* cookie_manager() {
  WebKitNetworkSession* session = webkit_web_view_get_network_session(session_view);
  return session != nullptr ? webkit_network_session_get_cookie_manager(session) : nullptr;
}

// The cookie as it is set, and as it is named again to delete it.
SoupCookie* make_session_cookie(const char* token) {
  const std::string domain = session_cookie_domain(session_options->dev);
  SoupCookie* cookie = soup_cookie_new(session_cookie_name, token, domain.c_str(), "/", session_cookie_lifetime_s);
  // Secure everywhere but on the development server: the network library
  // sends secure cookies over https only, and the development server is
  // plain http on the loopback host (where a Chromium host would still send it).
  soup_cookie_set_secure(cookie, session_options->dev ? FALSE : TRUE);
  soup_cookie_set_http_only(cookie, TRUE);
  return cookie;
}

void cookie_added(GObject* manager, GAsyncResult* result, gpointer) {
  // Whether or not the cookie went in, the web app is loaded again.
  (void)webkit_cookie_manager_add_cookie_finish(WEBKIT_COOKIE_MANAGER(manager), result, nullptr);
  if (session_view == nullptr) return;
  const std::string page = page_after_sign_in(session_options->dev, session_options->staging);
  webkit_web_view_load_uri(session_view, page.c_str());
}

// The address the cookie belongs to: the development server with --dev,
// else the production site's root.
std::string cookie_url() {
  if (session_options->dev) return std::string(deployment::dev_server_origin) + "/";
  return "https://" + std::string(deployment::product_domain) + "/";
}

void remove_next_cookie();

// Deletions left for this sign-out: a cookie the store refuses to delete
// must not keep the loop going.
int deletions_left = 0;

void cookie_deleted(GObject* manager, GAsyncResult* result, gpointer) {
  (void)webkit_cookie_manager_delete_cookie_finish(WEBKIT_COOKIE_MANAGER(manager), result, nullptr);
  remove_next_cookie();
}

// Deletes the session cookies one at a time (a profile may still hold one
// from an earlier run, with any value), then loads the current page again.
void cookies_listed(GObject* manager, GAsyncResult* result, gpointer) {
  GList* cookies = webkit_cookie_manager_get_cookies_finish(WEBKIT_COOKIE_MANAGER(manager), result, nullptr);
  SoupCookie* session = nullptr;
  for (GList* c = cookies; c != nullptr && session == nullptr; c = c->next) {
    auto* cookie = static_cast<SoupCookie*>(c->data);
    if (g_strcmp0(soup_cookie_get_name(cookie), session_cookie_name) == 0) session = cookie;
  }
  if (session != nullptr && session_view != nullptr && deletions_left-- > 0) {
    webkit_cookie_manager_delete_cookie(WEBKIT_COOKIE_MANAGER(manager), session, nullptr, cookie_deleted, nullptr);
  } else if (session_view != nullptr) {
    const char* current = webkit_web_view_get_uri(session_view);
    if (current != nullptr) webkit_web_view_load_uri(session_view, current);
  }
  g_list_free_full(cookies, reinterpret_cast<GDestroyNotify>(soup_cookie_free));
}

void remove_next_cookie() {
  if (session_view == nullptr) return;
  WebKitCookieManager* manager = cookie_manager();
  if (manager == nullptr) return;
  webkit_cookie_manager_get_cookies(manager, cookie_url().c_str(), nullptr, cookies_listed, nullptr);
}

gboolean install_token(gpointer data) {
  auto* token = static_cast<const char*>(data);
  if (session_view == nullptr) return G_SOURCE_REMOVE;
  WebKitCookieManager* manager = cookie_manager();
  if (manager == nullptr) return G_SOURCE_REMOVE;
  SoupCookie* cookie = make_session_cookie(token);
  webkit_cookie_manager_add_cookie(manager, cookie, nullptr, cookie_added, nullptr);
  soup_cookie_free(cookie);
  return G_SOURCE_REMOVE;
}

gboolean remove_token(gpointer) {
  deletions_left = 8;
  remove_next_cookie();
  return G_SOURCE_REMOVE;
}

}  // namespace

void route_sign_in_to_browser() {
  server::set_sign_in_actions({
      // The token travels as a GLib string that the main loop frees after use.
      [](const std::string& token) {
        g_main_context_invoke_full(nullptr, G_PRIORITY_DEFAULT, install_token, g_strdup(token.c_str()), g_free);
      },
      [] { g_main_context_invoke(nullptr, remove_token, nullptr); },
  });
}

void set_session_view(WebKitWebView* view, const launch_options_record* options) {
  session_view = view;
  session_options = options;
}

std::string session_cookie_domain(bool dev) {
  if (dev) return std::string(deployment::loopback_host);
  return "." + std::string(deployment::product_domain);
}

std::string page_after_sign_in(bool dev, bool staging) { return start_url(dev, staging); }

}  // namespace kvt::browser
