// The error page in a real web view under the virtual display: a host that
// does not resolve, a port where nothing listens (and the server that comes
// up there later), and a certificate that is not trusted. The test program
// runs in a network namespace of its own (error_page_main.cpp), so that a
// name lookup fails on this machine and no packet leaves it.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <webkit/webkit.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "app/buffers.hpp"
#include "browser/client_handler.hpp"
#include "browser/gobject_ptr.hpp"
#include "browser/load_error_handler.hpp"
#include "platform/shared_memory.hpp"
#include "renderer/process_messages.hpp"
#include "browser/window_harness.hpp"
#include "support/child_process.hpp"
#include "support/ws_client.hpp"

namespace kvt::test {

bool private_network_ready();  // error_page_main.cpp

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using browser::load_error_handler;
using clock_type = std::chrono::steady_clock;

// Runs the main loop until `done` holds or `limit` passes.
template <class F>
bool run_until(F done, std::chrono::milliseconds limit) {
  const auto end = clock_type::now() + limit;
  while (!done() && clock_type::now() < end) g_main_context_iteration(nullptr, FALSE);
  return done();
}

bool port_listens(std::uint16_t port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  close(fd);
  return ok;
}

// A window with a web view and the program's load error handler, the way
// the program's window has them, and what the view reports.
class error_view {
 public:
  explicit error_view(bool dev = false) : handler_(dev) {
    EXPECT_TRUE(gtk_init_check());
    session_ = adopt(webkit_network_session_new_ephemeral());
    view_ = WEBKIT_WEB_VIEW(g_object_new(WEBKIT_TYPE_WEB_VIEW, "network-session", session_.get(), nullptr));
    window_ = GTK_WINDOW(gtk_window_new());
    gtk_window_set_default_size(window_, 1024, 640);
    gtk_window_set_child(window_, GTK_WIDGET(view_));
    // Connected before the handler, which ends the emission: sees every failure.
    g_signal_connect(view_, "load-failed", G_CALLBACK(on_failed), this);
    g_signal_connect(view_, "load-failed-with-tls-errors", G_CALLBACK(on_tls_failed), this);
    handler_.attach(view_);
    gtk_window_present(window_);
  }
  ~error_view() { gtk_window_destroy(window_); }

  void load(const std::string& uri) { webkit_web_view_load_uri(view_, uri.c_str()); }
  const load_error_handler& handler() const { return handler_; }
  WebKitWebView* view() const { return view_; }
  int failures() const { return failures_; }
  GQuark last_domain() const { return domain_; }
  int last_code() const { return code_; }
  clock_type::time_point last_failure() const { return failed_at_; }

  // The error page, fully loaded.
  bool wait_for_error_page(int failures = 1, std::chrono::milliseconds limit = 20s) {
    return run_until(
        [&] {
          return failures_ >= failures && handler_.showing_error_page() && !webkit_web_view_is_loading(view_);
        },
        limit);
  }

  // Runs `script` in a world of its own (the page's policy allows no
  // scripts; the view's own worlds are not bound by it) and returns its
  // value as text.
  std::string evaluate(const std::string& script) {
    struct result {
      bool done = false;
      std::string text;
    } r;
    webkit_web_view_evaluate_javascript(
        view_, script.c_str(), -1, "kvt-test", nullptr, nullptr,
        [](GObject* source, GAsyncResult* res, gpointer data) {
          auto* out = static_cast<result*>(data);
          GError* error = nullptr;
          auto value = adopt(webkit_web_view_evaluate_javascript_finish(WEBKIT_WEB_VIEW(source), res, &error));
          if (value) {
            gchar_ptr text(jsc_value_to_string(value.get()));
            out->text = text ? text.get() : "";
          } else if (error != nullptr) {
            out->text = std::string("error: ") + error->message;
            g_error_free(error);
          }
          out->done = true;
        },
        &r);
    run_until([&] { return r.done; }, 10s);
    return r.text;
  }
  std::string text() { return evaluate("document.body ? document.body.innerText : ''"); }

  // Saves what the view shows as a PNG.
  bool snapshot(const fs::path& file) {
    struct result {
      bool done = false;
      bool saved = false;
      std::string path;
    } r{false, false, file.string()};
    webkit_web_view_get_snapshot(
        view_, WEBKIT_SNAPSHOT_REGION_VISIBLE, WEBKIT_SNAPSHOT_OPTIONS_NONE, nullptr,
        [](GObject* source, GAsyncResult* res, gpointer data) {
          auto* out = static_cast<result*>(data);
          auto texture = adopt(webkit_web_view_get_snapshot_finish(WEBKIT_WEB_VIEW(source), res, nullptr));
          out->saved = texture && gdk_texture_save_to_png(texture.get(), out->path.c_str());
          out->done = true;
        },
        &r);
    run_until([&] { return r.done; }, 10s);
    return r.saved;
  }

 private:
  static gboolean on_failed(WebKitWebView*, WebKitLoadEvent, gchar*, GError* error, gpointer data) {
    auto* self = static_cast<error_view*>(data);
    self->record(error->domain, error->code);
    return FALSE;
  }
  static gboolean on_tls_failed(WebKitWebView*, gchar*, GTlsCertificate*, GTlsCertificateFlags flags, gpointer data) {
    static_cast<error_view*>(data)->record(G_TLS_ERROR, static_cast<int>(flags));
    return FALSE;
  }
  void record(GQuark domain, int code) {
    ++failures_;
    domain_ = domain;
    code_ = code;
    failed_at_ = clock_type::now();
  }

  load_error_handler handler_;
  gobject_ptr<WebKitNetworkSession> session_;
  GtkWindow* window_ = nullptr;
  WebKitWebView* view_ = nullptr;
  int failures_ = 0;
  GQuark domain_ = 0;
  int code_ = 0;
  clock_type::time_point failed_at_;
};

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// A one-line page stands in for the web app.
void write_web_app(const fs::path& folder) {
  fs::create_directories(folder);
  std::ofstream(folder / "index.html") << "<!DOCTYPE html><title>Web app</title><p id=app>The web app is here</p>";
}

TEST(ErrorPage, HostThatDoesNotResolve) {
  if (!private_network_ready()) GTEST_SKIP() << "needs a private network namespace (root), so that no lookup leaves";
  error_view v;
  const std::string uri = "http://kestrel-connect-test.invalid/?port=8084&version=2.5.0";
  v.load(uri);
  ASSERT_TRUE(v.wait_for_error_page());
  EXPECT_EQ(v.last_domain(), G_RESOLVER_ERROR);
  EXPECT_EQ(v.last_code(), G_RESOLVER_ERROR_NOT_FOUND);
  const std::string text = v.text();
  EXPECT_TRUE(contains(text, "Kestrel Connect")) << text;
  EXPECT_TRUE(contains(text, "The server's name could not be found")) << text;
  EXPECT_TRUE(contains(text, uri)) << text;
  EXPECT_TRUE(contains(text, "Try again")) << text;
  EXPECT_FALSE(contains(text, "development server")) << text;  // no --dev
  EXPECT_EQ(v.evaluate("document.querySelector('img').naturalWidth"), "128");  // the icon, inline
  EXPECT_EQ(v.evaluate("document.getElementById('try-again').href"), uri);
  EXPECT_STREQ(webkit_web_view_get_uri(v.view()), uri.c_str());  // shown at the failed address

  // A picture of it beside the test, and one for the project's pages.
  const fs::path shot = fs::current_path() / "error-page-host-not-found.png";
  ASSERT_TRUE(v.snapshot(shot));
  std::error_code ec;
  fs::create_directories(fs::path(KVT_SOURCE_DIR) / "build", ec);
  fs::copy_file(shot, fs::path(KVT_SOURCE_DIR) / "build" / "error-page-screenshot.png",
                fs::copy_options::overwrite_existing, ec);
  EXPECT_FALSE(ec) << ec.message();
}

TEST(ErrorPage, RefusedConnectionThenTheServerComesUp) {
  scratch_folder scratch;
  const std::uint16_t port = free_port();
  error_view v(true);
  const std::string uri = "http://127.0.0.1:" + std::to_string(port) + "/";
  v.load(uri);
  ASSERT_TRUE(v.wait_for_error_page());
  EXPECT_EQ(v.last_domain(), G_IO_ERROR);
  EXPECT_EQ(v.last_code(), G_IO_ERROR_CONNECTION_REFUSED);
  const std::string text = v.text();
  EXPECT_TRUE(contains(text, "The server refused the connection")) << text;
  EXPECT_TRUE(contains(text, "development server is expected at http://localhost:5173")) << text;

  // The server comes up; the window gets there by itself, without a click.
  write_web_app(scratch.path());
  child_process server({"/usr/bin/python3", std::string(KVT_SOURCE_DIR) + "/demo/dev_server.py",
                        scratch.path().string(), std::to_string(port)});
  ASSERT_TRUE(run_until([&] { return port_listens(port); }, 10s));
  const auto up = clock_type::now();
  ASSERT_TRUE(run_until([&] { return v.handler().current_load_is_page() && !webkit_web_view_is_loading(v.view()); },
                        40s));
  EXPECT_LE(clock_type::now() - up, 33s);  // within one wait of the schedule at this point
  EXPECT_EQ(v.text(), "The web app is here");
  EXPECT_FALSE(v.handler().retry().armed());
  EXPECT_EQ(v.handler().retry().schedule().waits(), 0u);  // starts over at the next failure
}

// Evaluates `script` in the page's own world of `view` and returns its value
// as text.
std::string evaluate_in_page(WebKitWebView* view, const char* script) {
  struct result {
    bool done = false;
    std::string text;
  } r;
  webkit_web_view_evaluate_javascript(
      view, script, -1, nullptr, nullptr, nullptr,
      [](GObject* source, GAsyncResult* res, gpointer data) {
        auto* out = static_cast<result*>(data);
        auto value = adopt(webkit_web_view_evaluate_javascript_finish(WEBKIT_WEB_VIEW(source), res, nullptr));
        gchar_ptr text(value ? jsc_value_to_string(value.get()) : nullptr);
        out->text = text ? text.get() : "(failed)";
        out->done = true;
      },
      &r);
  run_until([&] { return r.done; }, 10s);
  return r.text;
}

// The program's whole client (navigation policy, buffers after each load)
// with its page bridge: `connect` is in the web app's page, never in the
// error page, and back once the web app has loaded again.
TEST(ErrorPage, PageBridgeLeavesTheErrorPageAlone) {
  ASSERT_TRUE(gtk_init_check());
  setenv("GIGACAGE_ENABLED", "0", 1);  // as the program does for the bridge's buffers
  const auto names = buffer_names_for(static_cast<unsigned long>(getpid()));
  shared_memory command, signal, ros;
  ASSERT_TRUE(command.create(names.command, 64 * 1024));
  ASSERT_TRUE(signal.create(names.signal, 64 * 1024));
  ASSERT_TRUE(ros.create(names.ros, 64 * 1024));

  browser::browser_settings settings;
  settings.options.dev = true;  // the loopback host is on the list
  settings.extension_directory = fs::path(KVT_BINARY_DIR) / "app" / "web-extensions";
  browser::client_handler handler(settings, {&command, &signal, &ros});
  auto context = adopt(webkit_web_context_new());
  webkit_web_context_set_web_process_extensions_directory(context.get(), settings.extension_directory.c_str());
  webkit_web_context_add_path_to_sandbox(context.get(), settings.extension_directory.c_str(), TRUE);
  webkit_web_context_set_web_process_extensions_initialization_user_data(
      context.get(), g_variant_new(page::messages::bridge_settings_type, 8084u, TRUE));
  auto session = adopt(webkit_network_session_new_ephemeral());
  auto* view = WEBKIT_WEB_VIEW(g_object_new(WEBKIT_TYPE_WEB_VIEW, "web-context", context.get(), "network-session",
                                            session.get(), nullptr));
  GtkWindow* window = GTK_WINDOW(gtk_window_new());
  gtk_window_set_child(window, GTK_WIDGET(view));
  handler.attach(window, view);
  gtk_window_present(window);

  scratch_folder scratch;
  write_web_app(scratch.path());
  const std::uint16_t port = free_port();
  const std::vector<std::string> serve = {"/usr/bin/python3", std::string(KVT_SOURCE_DIR) + "/demo/dev_server.py",
                                          scratch.path().string(), std::to_string(port)};
  auto server = std::make_unique<child_process>(serve);
  ASSERT_TRUE(run_until([&] { return port_listens(port); }, 10s));
  const std::string uri = "http://localhost:" + std::to_string(port) + "/";
  webkit_web_view_load_uri(view, uri.c_str());
  auto page_shows = [&](const std::string& what) {
    return run_until([&] { return evaluate_in_page(view, "typeof connect + ' ' + document.title") == what; }, 30s);
  };
  EXPECT_TRUE(page_shows("object Web app"));

  // The server goes; the reload ends on the error page, which has no bridge.
  server.reset();
  webkit_web_view_reload(view);
  EXPECT_TRUE(page_shows("undefined Kestrel Connect: The server refused the connection"));

  // It comes back: the web app, with its bridge, by itself.
  server = std::make_unique<child_process>(serve);
  EXPECT_TRUE(page_shows("object Web app"));
  gtk_window_destroy(window);
}

TEST(ErrorPage, SubFrameFailuresKeepTheEnginesBehaviour) {
  scratch_folder scratch;
  const std::uint16_t port = free_port();
  const std::uint16_t closed = free_port();
  fs::create_directories(scratch.path());
  std::ofstream(scratch.path() / "index.html")
      << "<!DOCTYPE html><title>Web app</title><p>The web app is here</p><iframe src=\"http://127.0.0.1:"
      << closed << "/\"></iframe>";
  child_process server({"/usr/bin/python3", std::string(KVT_SOURCE_DIR) + "/demo/dev_server.py",
                        scratch.path().string(), std::to_string(port)});
  ASSERT_TRUE(run_until([&] { return port_listens(port); }, 10s));
  error_view v;
  v.load("http://127.0.0.1:" + std::to_string(port) + "/");
  ASSERT_TRUE(run_until(
      [&] {
        const char* title = webkit_web_view_get_title(v.view());
        return !webkit_web_view_is_loading(v.view()) && title != nullptr && std::string(title) == "Web app";
      },
      20s));
  EXPECT_EQ(v.failures(), 0);
  EXPECT_TRUE(v.handler().current_load_is_page());
  EXPECT_FALSE(v.handler().retry().armed());
}

TEST(ErrorPage, TryAgainLoadsAtOnce) {
  const std::uint16_t port = free_port();
  error_view v;
  v.load("http://127.0.0.1:" + std::to_string(port) + "/");
  // After the first automatic attempt the next one is 4 s away.
  ASSERT_TRUE(v.wait_for_error_page(2));
  const auto second = v.last_failure();
  v.evaluate("document.getElementById('try-again').click()");
  ASSERT_TRUE(v.wait_for_error_page(3, 10s));
  EXPECT_LT(v.last_failure() - second, 3s);
  EXPECT_EQ(v.handler().retry().schedule().waits(), 3u);  // the click's failure waits 8 s
}

TEST(ErrorPage, UntrustedCertificateNeverLoadsThePage) {
  scratch_folder scratch;
  const fs::path cert = scratch.path() / "cert.pem";
  const fs::path key = scratch.path() / "key.pem";
  const std::string make_cert = "openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=127.0.0.1 -keyout '" +
                                key.string() + "' -out '" + cert.string() + "' >/dev/null 2>&1";
  ASSERT_EQ(std::system(make_cert.c_str()), 0) << "openssl is needed";
  write_web_app(scratch.path() / "www");
  const fs::path log = scratch.path() / "requests.txt";
  const std::uint16_t port = free_port();
  child_process server({"/usr/bin/python3", std::string(KVT_SOURCE_DIR) + "/tests/support/tls_server.py",
                        (scratch.path() / "www").string(), std::to_string(port), cert.string(), key.string(),
                        log.string()});
  ASSERT_TRUE(run_until([&] { return port_listens(port); }, 10s));

  error_view v;
  const std::string uri = "https://127.0.0.1:" + std::to_string(port) + "/";
  v.load(uri);
  ASSERT_TRUE(v.wait_for_error_page());
  EXPECT_EQ(v.last_domain(), G_TLS_ERROR);
  EXPECT_TRUE(v.last_code() & G_TLS_CERTIFICATE_UNKNOWN_CA);
  std::string text = v.text();
  EXPECT_TRUE(contains(text, "The server's certificate is not trusted")) << text;
  EXPECT_TRUE(contains(text, "not issued by an authority this computer trusts")) << text;
  EXPECT_TRUE(contains(text, uri)) << text;

  // The automatic attempt meets the same certificate (or, now and then, the
  // network layer reports it only as cancelled): the same page, and the
  // server never gets a request.
  ASSERT_TRUE(v.wait_for_error_page(2, 10s));
  text = v.text();
  EXPECT_TRUE(contains(text, "The server's certificate is not trusted")) << text;
  std::ifstream in(log);
  const std::string requests((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(requests, "");
}

}  // namespace
}  // namespace kvt::test
