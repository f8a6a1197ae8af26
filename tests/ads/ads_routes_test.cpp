// The ADS route file's parser and the choices made from it.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "plc/ads/ams/route_file.hpp"
#include "plc/ads/ams/routing.hpp"

namespace {

using namespace kvt::plc::ads::ams;
using namespace std::string_literals;

struct parse_case {
  const char* name;
  std::string text;
  std::optional<net_id> local;
  std::vector<route> routes;
  std::vector<std::size_t> complaint_lines;
};

void PrintTo(const parse_case& c, std::ostream* os) { *os << c.name; }

const net_id plc_a{5, 1, 204, 160, 1, 1};
const net_id plc_b{5, 1, 204, 161, 1, 1};

const std::vector<parse_case> parse_cases = {
    {"Empty", "", std::nullopt, {}, {}},
    {"CommentsAndBlanks", "# routes\n\n   \t\n  # indented\n", std::nullopt, {}, {}},
    {"LocalAndRoutes",
     "local 192.168.0.7.1.1\n5.1.204.160.1.1 plc-a.example\n5.1.204.161.1.1\t10.0.0.7:48899  # line 3\n",
     net_id{192, 168, 0, 7, 1, 1},
     {{plc_a, "plc-a.example", 48898}, {plc_b, "10.0.0.7", 48899}},
     {}},
    {"CrLfAndNoFinalNewline", "local 1.2.3.4.1.1\r\n5.1.204.160.1.1 h_1:1\r", net_id{1, 2, 3, 4, 1, 1},
     {{plc_a, "h_1", 1}}, {}},
    {"MalformedLinesAreSkipped",
     "5.1.204.160.1\thost\n"          // five pieces
     "5.1.204.300.1.1 host\n"         // a piece over 255
     "5.1.204.160.1.1\n"              // no host
     "5.1.204.160.1.1 host extra\n"   // a field too many
     "5.1.204.160.1.1 host:0\n"       // port 0
     "5.1.204.160.1.1 host:65536\n"   // port too large
     "5.1.204.160.1.1 host:\n"        // empty port
     "5.1.204.160.1.1 :48898\n"       // empty host
     "5.1.204.160.1.1 fe80::1\n"      // IPv6
     "5.1.204.160.1.1 h/st\n"         // not a host character
     "local\n"                        // no Net ID
     "local 1.2.3.4\n"                // not a Net ID
     "5.1.204.161.1.1 good\n",
     std::nullopt,
     {{plc_b, "good", 48898}},
     {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}},
    {"FirstOfTwoStays", "local 1.1.1.1.1.1\nlocal 2.2.2.2.1.1\n5.1.204.160.1.1 a\n5.1.204.160.1.1 b\n",
     net_id{1, 1, 1, 1, 1, 1}, {{plc_a, "a", 48898}}, {2, 4}},
    {"NulAndControlBytes", "5.1.204.160.1.1 a\0b\n\x01\x02\n"s, std::nullopt, {}, {1, 2}},
    {"OverlongHost", "5.1.204.160.1.1 " + std::string(254, 'h') + "\n5.1.204.161.1.1 " + std::string(253, 'h'),
     std::nullopt, {{plc_b, std::string(253, 'h'), 48898}}, {1}},
};

class RouteFileParse : public ::testing::TestWithParam<parse_case> {};

TEST_P(RouteFileParse, GivesRoutesAndComplaints) {
  const auto& c = GetParam();
  const route_table t = parse_routes(c.text);
  EXPECT_EQ(t.local, c.local);
  EXPECT_EQ(t.routes, c.routes);
  std::vector<std::size_t> lines;
  for (const auto& complaint : t.complaints) {
    lines.push_back(complaint.line);
    EXPECT_FALSE(complaint.message.empty());
  }
  EXPECT_EQ(lines, c.complaint_lines);
}

INSTANTIATE_TEST_SUITE_P(Table, RouteFileParse, ::testing::ValuesIn(parse_cases),
                         [](const ::testing::TestParamInfo<parse_case>& row) { return std::string(row.param.name); });

TEST(RouteFile, ComplaintQuotesTheFieldPrintably) {
  const route_table t = parse_routes("x\x01y host\n");
  ASSERT_EQ(t.complaints.size(), 1u);
  EXPECT_EQ(t.complaints[0].message, "not a Net ID: 'x?y'");
}

TEST(RouteFileLocation, FromTheVariablesInOrder) {
  struct row {
    const char* routes;
    const char* config_home;
    const char* home;
    std::filesystem::path expected;
  };
  const std::vector<row> rows = {
      {"/tmp/r", "/c", "/h", "/tmp/r"},
      {"", "/c", "/h", "/c/kestrel-connect/ads-routes"},
      {nullptr, "relative", "/h", "/h/.config/kestrel-connect/ads-routes"},
      {nullptr, "", "/h", "/h/.config/kestrel-connect/ads-routes"},
      {nullptr, nullptr, nullptr, ""},
  };
  for (const auto& r : rows) EXPECT_EQ(route_file_location(r.routes, r.config_home, r.home), r.expected);
}

TEST(LocalNetId, SettingThenFileThenInterfaceThenLoopback) {
  const net_id setting{1, 1, 1, 1, 1, 1};
  const net_id file{2, 2, 2, 2, 1, 1};
  EXPECT_EQ(choose_local_net_id(setting, file, 0x0A000105), setting);
  EXPECT_EQ(choose_local_net_id(std::nullopt, file, 0x0A000105), file);
  EXPECT_EQ(choose_local_net_id(std::nullopt, std::nullopt, 0x0A000105), (net_id{10, 0, 1, 5, 1, 1}));
  EXPECT_EQ(choose_local_net_id(std::nullopt, std::nullopt, std::nullopt), (net_id{127, 0, 0, 1, 1, 1}));
}

TEST(Endpoint, RouteElseTheNetIdsFirstFourBytes) {
  const route_table t = parse_routes("5.1.204.160.1.1 plc-a:801\n");
  EXPECT_EQ(choose_endpoint(t, plc_a, 48898), (endpoint{"plc-a", 801}));
  EXPECT_EQ(choose_endpoint(t, plc_b, 4000), (endpoint{"5.1.204.161", 4000}));
}

}  // namespace
