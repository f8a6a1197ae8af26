// Where the window may go, what its start request carries, and how big it
// opens.
#include <gtest/gtest.h>

#include "app/deployment.hpp"
#include "browser/navigation_policy.hpp"
#include "browser/url_parts.hpp"
#include "browser/window_geometry.hpp"

namespace kvt::browser {
namespace {

const std::string production = "https://" + std::string(deployment::production_host);
const std::string staging = "https://" + std::string(deployment::staging_host);
const std::string domain = "https://" + std::string(deployment::product_domain);

navigation_verdict verdict(const std::string& url, bool dev = false, std::uint32_t port = 8084) {
  return decide_navigation(url, {dev, port}).verdict;
}

TEST(NavigationPolicy, SignInOnTheProductDomainGoesToTheSystemBrowser) {
  const auto d = decide_navigation(domain + "/account/signin/azure", {false, 8084});
  EXPECT_EQ(d.verdict, navigation_verdict::open_externally);
  EXPECT_EQ(d.external_url, domain + "/account/signin/azure?connect=8084");
  // Appended to the whole text, whatever it holds already.
  EXPECT_EQ(decide_navigation(domain + "/account/signin/google?x=1", {false, 9000}).external_url,
            domain + "/account/signin/google?x=1?connect=9000");
  // The same path on the web-app host stays inside; other paths are plain navigation.
  EXPECT_EQ(verdict(production + "/account/signin/azure"), navigation_verdict::allow);
  EXPECT_EQ(verdict(domain + "/account/signin/other"), navigation_verdict::allow);
  // On the development server only with --dev.
  EXPECT_EQ(verdict("http://localhost:5173/account/signin/google", true), navigation_verdict::open_externally);
  EXPECT_EQ(verdict("http://localhost:5173/account/signin/google", false), navigation_verdict::cancel);
}

TEST(NavigationPolicy, OnlyListedHostsLoad) {
  for (std::string_view host : {deployment::production_host, deployment::staging_host, deployment::simulation_host,
                                deployment::play_host, deployment::product_domain, deployment::cad_sign_in_host})
    EXPECT_EQ(verdict("https://" + std::string(host) + "/x"), navigation_verdict::allow) << host;
  EXPECT_EQ(verdict("chrome://gpu"), navigation_verdict::allow);
  EXPECT_EQ(verdict("chrome://settings"), navigation_verdict::cancel);
  EXPECT_EQ(verdict("https://evil.example/"), navigation_verdict::cancel);
  EXPECT_EQ(verdict("https://" + std::string(deployment::production_host) + ".evil.example/"), navigation_verdict::cancel);
  EXPECT_EQ(verdict("https://APP.KESTREL.EXAMPLE/"), navigation_verdict::cancel);  // exact comparison
  EXPECT_EQ(verdict("about:blank"), navigation_verdict::cancel);
  EXPECT_EQ(verdict("data:text/html,hi"), navigation_verdict::cancel);
  EXPECT_EQ(verdict("not a url"), navigation_verdict::cancel);
  EXPECT_EQ(verdict("http://localhost:5173/"), navigation_verdict::cancel);
  EXPECT_EQ(verdict("http://localhost:5173/", true), navigation_verdict::allow);
}

TEST(StartUrl, ChosenByTheLaunchOptions) {
  EXPECT_EQ(start_url(false, false), production);
  EXPECT_EQ(start_url(false, true), staging);
  EXPECT_EQ(start_url(true, true), "http://localhost:5173");  // --dev wins over --staging
}

TEST(StartUrl, RootRequestsGainPortAndVersion) {
  const policy_settings s{false, 8084};
  EXPECT_EQ(add_start_query(production, s), production + "/?port=8084&version=2.5.0");
  EXPECT_EQ(add_start_query(production + "/", s), production + "/?port=8084&version=2.5.0");
  EXPECT_EQ(add_start_query(production + "/?port=9000", s), production + "/?port=9000&version=2.5.0");
  EXPECT_EQ(add_start_query(staging + "/?a=b", {false, 1234}), staging + "/?a=b&port=1234&version=2.5.0");
  // Already complete, another path, another host: unchanged.
  EXPECT_EQ(add_start_query(production + "/?port=1&version=2", s), "");
  EXPECT_EQ(add_start_query(production + "/app", s), "");
  EXPECT_EQ(add_start_query(domain + "/", s), "");
  // The development server only with --dev, its port kept in the origin.
  EXPECT_EQ(add_start_query("http://localhost:5173/", s), "");
  EXPECT_EQ(add_start_query("http://localhost:5173/", {true, 8084}), "http://localhost:5173/?port=8084&version=2.5.0");
}

TEST(UrlParts, SplitsTheParts) {
  const auto p = parse_url("https://user@host.example:8443/a/b?q=1#frag");
  ASSERT_TRUE(p);
  EXPECT_EQ(p->scheme, "https");
  EXPECT_EQ(p->host, "host.example");
  EXPECT_EQ(p->port, "8443");
  EXPECT_EQ(p->path, "/a/b");
  EXPECT_EQ(p->query, "q=1");
  EXPECT_EQ(p->origin(), "https://host.example:8443");
  EXPECT_EQ(parse_url("http://[::1]:80/")->host, "[::1]");
  EXPECT_FALSE(parse_url("https://host:port/"));
  EXPECT_FALSE(parse_url("https://ho st/"));
  EXPECT_FALSE(parse_url("/relative"));
}

TEST(WindowGeometry, SizeFollowsTheDesktop) {
  EXPECT_EQ(initial_window_size({3840, 2160}).width, 2560);
  EXPECT_EQ(initial_window_size({3840, 2160}).height, 1440);
  EXPECT_EQ(initial_window_size({2560, 1080}).width, 2560);
  EXPECT_EQ(initial_window_size({2560, 1080}).height, 1080);
  EXPECT_EQ(initial_window_size({1366, 768}).width, 1920);
  EXPECT_EQ(initial_window_size({1366, 768}).height, 1080);
  EXPECT_EQ(inspector_window_size({1920, 1440}).height, 1440);
  EXPECT_EQ(parse_show_state("maximized"), show_state::maximized);
  EXPECT_EQ(parse_show_state("Maximized"), show_state::normal);
  EXPECT_EQ(parse_show_state("minimized"), show_state::minimized);
  EXPECT_EQ(parse_show_state(""), show_state::normal);
}

}  // namespace
}  // namespace kvt::browser
