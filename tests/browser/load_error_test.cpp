// The error page's parts that need no window: which words a network error
// gets, the page's HTML, and the retry's schedule and triggers.
#include <gtest/gtest.h>

#include <webkit/webkit.h>

#include <chrono>
#include <string>
#include <vector>

#include "app/deployment.hpp"
#include "browser/load_error_page.hpp"
#include "browser/load_error_text.hpp"
#include "browser/load_retry.hpp"

namespace kvt::browser {
namespace {

struct error_case {
  GQuark domain;
  int code;
  load_failure expected;
};

TEST(LoadErrorText, NetworkErrorsGetTheirKind) {
  const std::vector<error_case> cases = {
      // As WebKitGTK delivers them: a name that does not resolve, a port nobody listens on.
      {G_RESOLVER_ERROR, G_RESOLVER_ERROR_NOT_FOUND, load_failure::host_not_found},
      {G_IO_ERROR, G_IO_ERROR_CONNECTION_REFUSED, load_failure::connection_refused},
      {G_RESOLVER_ERROR, G_RESOLVER_ERROR_TEMPORARY_FAILURE, load_failure::host_not_found},
      {G_IO_ERROR, G_IO_ERROR_HOST_NOT_FOUND, load_failure::host_not_found},
      {G_IO_ERROR, G_IO_ERROR_TIMED_OUT, load_failure::timed_out},
      {G_IO_ERROR, G_IO_ERROR_NETWORK_UNREACHABLE, load_failure::network_unreachable},
      {G_IO_ERROR, G_IO_ERROR_HOST_UNREACHABLE, load_failure::network_unreachable},
      {G_IO_ERROR, G_IO_ERROR_CONNECTION_CLOSED, load_failure::connection_lost},
      {G_TLS_ERROR, G_TLS_ERROR_BAD_CERTIFICATE, load_failure::certificate_not_trusted},
      {G_TLS_ERROR, G_TLS_ERROR_HANDSHAKE, load_failure::other},
      {G_IO_ERROR, G_IO_ERROR_FAILED, load_failure::other},
      {G_IO_ERROR, G_IO_ERROR_CANCELLED, load_failure::other},  // the network layer's, not a newer load's
      {WEBKIT_NETWORK_ERROR, WEBKIT_NETWORK_ERROR_FAILED, load_failure::other},
      {WEBKIT_NETWORK_ERROR, WEBKIT_NETWORK_ERROR_TRANSPORT, load_failure::other},
  };
  for (const auto& c : cases) {
    GError* error = g_error_new_literal(c.domain, c.code, "x");
    EXPECT_EQ(classify_load_error(*error), c.expected) << g_quark_to_string(c.domain) << " " << c.code;
    EXPECT_FALSE(is_stopped_load(*error)) << g_quark_to_string(c.domain) << " " << c.code;
    g_error_free(error);
  }
}

TEST(LoadErrorText, CancelledAndPolicyStoppedLoadsAreNotFailures) {
  const std::vector<std::pair<GQuark, int>> stopped = {
      {WEBKIT_NETWORK_ERROR, WEBKIT_NETWORK_ERROR_CANCELLED},
      {WEBKIT_POLICY_ERROR, WEBKIT_POLICY_ERROR_FRAME_LOAD_INTERRUPTED_BY_POLICY_CHANGE},
  };
  for (const auto& [domain, code] : stopped) {
    GError* error = g_error_new_literal(domain, code, "x");
    EXPECT_TRUE(is_stopped_load(*error)) << g_quark_to_string(domain) << " " << code;
    g_error_free(error);
  }
  GError* other_policy = g_error_new_literal(WEBKIT_POLICY_ERROR, WEBKIT_POLICY_ERROR_CANNOT_SHOW_URI, "x");
  EXPECT_FALSE(is_stopped_load(*other_policy));
  g_error_free(other_policy);
}

TEST(LoadErrorText, EachKindSaysWhatFailed) {
  const std::vector<std::pair<load_failure, std::string>> cases = {
      {load_failure::host_not_found, "could not be found"},
      {load_failure::connection_refused, "refused the connection"},
      {load_failure::timed_out, "did not answer in time"},
      {load_failure::network_unreachable, "cannot be reached"},
      {load_failure::connection_lost, "connection was closed"},
      {load_failure::certificate_not_trusted, "certificate is not trusted"},
      {load_failure::other, "could not be loaded"},
  };
  for (const auto& [failure, words] : cases) {
    const auto text = describe(failure);
    EXPECT_NE(std::string(text.headline).find(words), std::string::npos) << text.headline;
    EXPECT_FALSE(text.detail.empty());
  }
}

TEST(LoadErrorText, CertificateProblemsAreNamed) {
  const std::vector<std::pair<int, std::string>> cases = {
      {G_TLS_CERTIFICATE_UNKNOWN_CA, "it is not issued by an authority this computer trusts"},
      {G_TLS_CERTIFICATE_UNKNOWN_CA | G_TLS_CERTIFICATE_BAD_IDENTITY,
       "it is not issued by an authority this computer trusts; it is not made out for this host"},
      {G_TLS_CERTIFICATE_EXPIRED, "it has expired"},
      {0, "it could not be verified"},
  };
  for (const auto& [flags, words] : cases)
    EXPECT_EQ(tls_problems(static_cast<GTlsCertificateFlags>(flags)), words);
}

TEST(LoadErrorPage, AddressIsEscapedWhereverItAppears) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"a&b<c>\"d'e", "a&amp;b&lt;c&gt;&quot;d&#39;e"},
      {"plain", "plain"},
      {"{{headline}}", "{{headline}}"},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(html_escape(in), out);

  load_error_content content;
  content.failure = load_failure::connection_refused;
  content.address = "http://x.invalid/?q=\"><script>alert(1)</script>&{{icon}}";
  content.technical = "<b>raw</b>";
  const std::string page = load_error_page(content);
  EXPECT_EQ(page.find("<script"), std::string::npos);
  EXPECT_EQ(page.find("<b>raw"), std::string::npos);
  const std::string escaped = html_escape(content.address);
  EXPECT_NE(page.find("<code id=\"address\">" + escaped + "</code>"), std::string::npos);
  EXPECT_NE(page.find("href=\"" + escaped + "\""), std::string::npos);  // "Try again"
  EXPECT_NE(page.find("The server refused the connection"), std::string::npos);
  EXPECT_NE(page.find("&lt;b&gt;raw&lt;/b&gt;"), std::string::npos);
}

TEST(LoadErrorPage, SelfContainedWithTheIconAndTheDevHintOnlyWithDev) {
  load_error_content content;
  content.address = "http://localhost:5173";
  const std::string page = load_error_page(content);
  EXPECT_NE(page.find("<img src=\"data:image/png;base64,iVBORw0KGgo"), std::string::npos);  // the PNG signature
  EXPECT_EQ(page.find("{{"), std::string::npos);
  EXPECT_EQ(page.find("src=\"http"), std::string::npos);
  EXPECT_NE(page.find("Kestrel Connect"), std::string::npos);
  EXPECT_NE(page.find("prefers-color-scheme: dark"), std::string::npos);
  EXPECT_EQ(page.find("dev-hint"), std::string::npos);
  content.dev = true;
  const std::string dev_page = load_error_page(content);
  EXPECT_NE(dev_page.find("id=\"dev-hint\""), std::string::npos);
  EXPECT_NE(dev_page.find(std::string(deployment::dev_server_origin)), std::string::npos);
}

TEST(RetrySchedule, DoublesFromTwoSecondsToAMinuteAndStartsOver) {
  retry_schedule schedule;
  const std::vector<long> expected = {2, 4, 8, 16, 32, 60, 60, 60, 60, 60, 60, 60};
  std::vector<long> got;
  for (std::size_t i = 0; i < expected.size(); ++i) got.push_back(schedule.next().count());
  EXPECT_EQ(got, expected);
  schedule.reset();
  EXPECT_EQ(schedule.next().count(), 2);
  EXPECT_EQ(schedule.next().count(), 4);
}

// Runs the default main context until `done` or the time is up.
template <class F>
bool run_until(F done, std::chrono::milliseconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!done() && std::chrono::steady_clock::now() < end) g_main_context_iteration(nullptr, FALSE);
  return done();
}

TEST(LoadRetry, AttemptsAfterTheWaitOrAtOnceWhenTheNetworkComesBack) {
  int attempts = 0;
  load_retry retry([&] { ++attempts; });
  GNetworkMonitor* monitor = g_network_monitor_get_default();

  // Nothing failed: a network change does nothing.
  g_signal_emit_by_name(monitor, "network-changed", TRUE);
  EXPECT_EQ(attempts, 0);

  // After a failure: the network going away does nothing, coming back attempts at once.
  retry.arm();
  EXPECT_TRUE(retry.armed());
  g_signal_emit_by_name(monitor, "network-changed", FALSE);
  EXPECT_EQ(attempts, 0);
  g_signal_emit_by_name(monitor, "network-changed", TRUE);
  EXPECT_EQ(attempts, 1);
  EXPECT_FALSE(retry.armed());

  // The next failure waits 4 s (the first wait went with the network's attempt).
  const auto start = std::chrono::steady_clock::now();
  retry.arm();
  EXPECT_TRUE(run_until([&] { return attempts == 2; }, std::chrono::seconds(7)));
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, std::chrono::milliseconds(3000));  // whole seconds, GLib may start up to 1 s early
  EXPECT_LE(waited, std::chrono::milliseconds(5500));

  // A load that starts takes the pending attempt's place; a page resets the schedule.
  retry.arm();
  retry.disarm();
  EXPECT_FALSE(run_until([&] { return attempts == 3; }, std::chrono::milliseconds(300)));
  retry.reset();
  EXPECT_EQ(retry.schedule().waits(), 0u);
}

}  // namespace
}  // namespace kvt::browser
