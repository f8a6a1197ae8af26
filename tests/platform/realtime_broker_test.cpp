// The threads' path to a raised priority as a user who may not lower
// niceness: the program asks the realtime broker on a private D-Bus bus (a
// stand-in that records the calls), and carries on at normal priority with
// one line on standard error when the broker is absent or refuses.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "support/child_process.hpp"
#include "support/eventually.hpp"

namespace kvt::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// A message bus of the test's own, ended with the test.
class private_bus {
 public:
  private_bus()
      : dir_(fs::temp_directory_path() / ("kvt-bus-" + std::to_string(getpid()) + "-" + std::to_string(count_++))),
        daemon_((fs::create_directories(dir_), std::vector<std::string>{"/usr/bin/dbus-daemon", "--session", "--nofork",
                                                                           "--address=unix:path=" +
                                                                               (dir_ / "bus").string()})) {
    if (!eventually([&] { return fs::exists(dir_ / "bus"); }, 10s)) throw std::runtime_error("no bus");
  }
  ~private_bus() {
    daemon_.terminate();
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }
  std::string address() const { return "unix:path=" + (dir_ / "bus").string(); }

 private:
  static inline int count_ = 0;
  fs::path dir_;
  child_process daemon_;
};

struct thread_report {
  pid_t thread = 0;
  std::string path;
  int niceness = 0;
};

// "<role> <thread> <path> <niceness>" lines of the probe.
std::map<std::string, thread_report> parse_probe(const std::string& text) {
  std::map<std::string, thread_report> roles;
  std::istringstream in(text);
  std::string role;
  thread_report r;
  while (in >> role >> r.thread >> r.path >> r.niceness) roles[role] = r;
  return roles;
}

struct broker_call {
  pid_t thread = 0;
  int niceness = 0;
  pid_t caller = 0;
};

// "high <thread> <niceness> <caller>" lines of the stand-in broker.
std::vector<broker_call> parse_calls(const std::string& text) {
  std::vector<broker_call> calls;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream words(line);
    std::string kind;
    broker_call c;
    if (words >> kind >> c.thread >> c.niceness >> c.caller && kind == "high") calls.push_back(c);
  }
  return calls;
}

std::size_t count_lines_with(const std::string& text, const std::string& part) {
  std::istringstream in(text);
  std::size_t n = 0;
  for (std::string line; std::getline(in, line);)
    if (line.find(part) != std::string::npos) ++n;
  return n;
}

struct probe_run {
  std::optional<int> exit_code;
  std::map<std::string, thread_report> roles;
  std::string stderr_text;
};

probe_run run_probe(const std::string& bus_address) {
  child_process probe({built_program("tests/platform/kvt_priority_probe")}, {"KVT_RTKIT_BUS_ADDRESS=" + bus_address},
                      true);
  probe_run run;
  run.exit_code = probe.wait(60s);
  run.roles = parse_probe(probe.stdout_text());
  run.stderr_text = probe.stderr_text();
  return run;
}

struct granted_case {
  const char* name;
  int min_nice;  // the broker's lowest niceness
  std::map<std::string, int> expected;  // niceness asked for per thread
};

void PrintTo(const granted_case& c, std::ostream* os) { *os << c.name; }

class granted_by_broker : public ::testing::TestWithParam<granted_case> {};

TEST_P(granted_by_broker, asks_for_each_thread_down_to_the_brokers_minimum) {
  const granted_case& c = GetParam();
  private_bus bus;
  child_process broker({built_program("tests/platform/kvt_stand_in_broker"), bus.address(), "--min-nice",
                        std::to_string(c.min_nice)},
                       {}, true);
  ASSERT_TRUE(eventually([&] { return broker.stdout_text().find("ready") != std::string::npos; }, 10s));

  const probe_run run = run_probe(bus.address());
  ASSERT_EQ(run.exit_code, 0) << run.stderr_text;
  EXPECT_EQ(count_lines_with(run.stderr_text, "normal priority"), 0u) << run.stderr_text;

  ASSERT_TRUE(eventually([&] { return parse_calls(broker.stdout_text()).size() >= c.expected.size(); }));
  const std::vector<broker_call> calls = parse_calls(broker.stdout_text());
  ASSERT_EQ(calls.size(), c.expected.size()) << broker.stdout_text();
  for (const auto& [role, niceness] : c.expected) {
    SCOPED_TRACE(role);
    ASSERT_TRUE(run.roles.count(role));
    const thread_report& r = run.roles.at(role);
    EXPECT_EQ(r.path, "broker");
    EXPECT_EQ(r.niceness, niceness);
    std::size_t matching = 0;
    for (const broker_call& call : calls)
      if (call.thread == r.thread && call.niceness == niceness) ++matching;
    EXPECT_EQ(matching, 1u) << broker.stdout_text();
  }
  // The broker checks that the threads belong to the caller.
  for (const broker_call& call : calls) EXPECT_EQ(call.caller, calls.front().caller);
}

INSTANTIATE_TEST_SUITE_P(
    thread_priority, granted_by_broker,
    ::testing::Values(granted_case{"broker_allows_minus_15", -15, {{"exchange", -10}, {"server", -10}, {"scan", -15}}},
                      granted_case{"broker_allows_minus_12", -12, {{"exchange", -10}, {"server", -10}, {"scan", -12}}},
                      granted_case{"broker_allows_minus_5", -5, {{"exchange", -5}, {"server", -5}, {"scan", -5}}}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

enum class broker_kind { refusing, absent, no_bus };

struct fallback_case {
  const char* name;
  broker_kind kind;
  const char* reason_part;  // in the line on standard error
};

void PrintTo(const fallback_case& c, std::ostream* os) { *os << c.name; }

class normal_priority : public ::testing::TestWithParam<fallback_case> {};

TEST_P(normal_priority, carries_on_with_one_line_on_standard_error) {
  const fallback_case& c = GetParam();
  std::optional<private_bus> bus;
  std::optional<child_process> broker;
  std::string address = "unix:path=" + (fs::temp_directory_path() / "kvt-no-such-bus").string();
  if (c.kind != broker_kind::no_bus) {
    bus.emplace();
    address = bus->address();
  }
  if (c.kind == broker_kind::refusing) {
    broker.emplace(std::vector<std::string>{built_program("tests/platform/kvt_stand_in_broker"), address, "--refuse"},
                   std::vector<std::string>{}, true);
    ASSERT_TRUE(eventually([&] { return broker->stdout_text().find("ready") != std::string::npos; }, 10s));
  }

  const probe_run run = run_probe(address);
  ASSERT_EQ(run.exit_code, 0) << run.stderr_text;
  for (const char* role : {"exchange", "server", "scan"}) {
    SCOPED_TRACE(role);
    ASSERT_TRUE(run.roles.count(role));
    EXPECT_EQ(run.roles.at(role).path, "none");
  }
  EXPECT_EQ(count_lines_with(run.stderr_text, "normal priority"), 1u) << run.stderr_text;
  EXPECT_EQ(count_lines_with(run.stderr_text, "rtkit"), 1u) << run.stderr_text;
  EXPECT_EQ(count_lines_with(run.stderr_text, c.reason_part), 1u) << run.stderr_text;
  if (broker) {
    EXPECT_EQ(parse_calls(broker->stdout_text()).size(), 3u) << broker->stdout_text();
  }
}

INSTANTIATE_TEST_SUITE_P(
    thread_priority, normal_priority,
    ::testing::Values(fallback_case{"broker_refuses", broker_kind::refusing, "AccessDenied"},
                      fallback_case{"no_broker_on_the_bus", broker_kind::absent, "ServiceUnknown"},
                      fallback_case{"no_bus", broker_kind::no_bus, "cannot reach the bus"}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

}  // namespace
}  // namespace kvt::test
