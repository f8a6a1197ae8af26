// "ServerConnect", "ServerStatus", "ServerDisconnect" and "BindingTables"
// over a real WebSocket: validation order and messages, and their effect on
// the driver registry and tables.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "plc/driver_registry.hpp"
#include "plc/memory/driver.hpp"
#include "support/eventually.hpp"
#include "support/exchange_fixture.hpp"
#include "support/server_fixture.hpp"
#include "support/ws_client.hpp"

namespace kvt::test {
namespace {

// A JSON object from ordered key/value texts (values already in JSON).
using fields = std::vector<std::pair<std::string, std::string>>;

std::string object(const fields& f) {
  std::string out = "{";
  for (const auto& [k, v] : f) {
    if (out.size() > 1) out += ',';
    out += '"' + k + "\":" + v;
  }
  return out + '}';
}

std::string request(int id, std::string_view type, const std::string& data) {
  return "{\"id\":" + std::to_string(id) + ",\"type\":\"" + std::string(type) + "\",\"data\":" + data + '}';
}

fields valid_params() {
  return {{"protocol", "4"},   {"type", "\"\""},  {"host", "\"127.0.0.1\""}, {"port", "502"},
          {"unitId", "1"},     {"flags", "0"},    {"rack", "0"},             {"slot", "0"},
          {"scanRate", "0.05"}};
}

fields without(fields f, std::string_view key) {
  std::erase_if(f, [&](const auto& kv) { return kv.first == key; });
  return f;
}

fields with(fields f, std::string_view key, std::string value) {
  for (auto& kv : f)
    if (kv.first == key) {
      kv.second = std::move(value);
      return f;
    }
  f.emplace_back(std::string(key), std::move(value));
  return f;
}

std::string null_error(int id, std::string_view message) {
  return "{\"id\":" + std::to_string(id) + ",\"data\":null,\"error\":\"" + std::string(message) + "\"}";
}

std::string false_error(int id, std::string_view message) {
  return "{\"id\":" + std::to_string(id) + ",\"data\":false,\"error\":\"" + std::string(message) + "\"}";
}

class Commands : public ::testing::Test {
 protected:
  Commands() : page(server.port()) { page.register_as_page(); }

  std::optional<std::string> ask(std::string_view type, const std::string& data) {
    page.send_text(request(++last_id, type, data));
    return page.next_text();
  }
  // The reply expected for the request `ask` sends next.
  int next_id() const { return last_id + 1; }

  server_fixture server;
  ws_client page;
  int last_id = 0;
};

TEST_F(Commands, ConnectionParametersAreCheckedInOrder) {
  // Each row breaks one field of an otherwise valid record; fields before it
  // are valid, fields after it may be broken too and must not be reported.
  const std::vector<std::pair<fields, std::string_view>> cases = {
      {without(valid_params(), "protocol"), "Protocol invalid"},
      {with(with(valid_params(), "protocol", "9"), "host", "\"\""), "Protocol invalid"},
      {with(valid_params(), "protocol", "0"), "Protocol invalid"},
      {with(valid_params(), "protocol", "\"4\""), "Protocol invalid"},
      {with(valid_params(), "protocol", "4294967300"), "Protocol invalid"},
      {with(without(valid_params(), "type"), "host", "\"\""), "Type invalid"},
      {with(valid_params(), "host", "\"\""), "Host invalid"},
      {with(valid_params(), "host", "7"), "Host invalid"},
      {with(without(valid_params(), "port"), "unitId", "-1"), "Port invalid"},
      {with(valid_params(), "port", "-1"), "Port invalid"},
      {with(valid_params(), "unitId", "1.5"), "Unit ID invalid"},
      {without(valid_params(), "flags"), "Flags invalid"},
      {with(valid_params(), "rack", "-1"), "Rack invalid"},
      {with(valid_params(), "rack", "\"0\""), "Rack invalid"},
      {with(valid_params(), "slot", "-3"), "Slot invalid"},
      {without(valid_params(), "scanRate"), "Scan rate invalid"},
      {with(valid_params(), "scanRate", "-0.5"), "Scan rate invalid"},
      {with(valid_params(), "scanRate", "\"fast\""), "Scan rate invalid"},
  };
  for (const auto& [data, message] : cases) {
    for (const std::string_view command : {"ServerDisconnect", "ServerConnect"}) {
      const int id = next_id();
      EXPECT_EQ(ask(command, object(data)), null_error(id, message)) << command << ' ' << object(data);
    }
  }
  // Valid edge values.
  for (const auto& data : {with(valid_params(), "scanRate", "0"), with(valid_params(), "rack", "0"),
                           with(valid_params(), "port", "4294967295"), with(valid_params(), "type", "\"any\"")})
  {
    const int id = next_id();
    EXPECT_EQ(ask("ServerDisconnect", object(data)), "{\"id\":" + std::to_string(id) + ",\"data\":true}");
  }
}

TEST_F(Commands, StatusAndDisconnectOfUnknownHosts) {
  EXPECT_EQ(ask("ServerStatus", R"({"host":"10.9.8.7"})"), R"({"id":1,"data":false})");
  EXPECT_EQ(ask("ServerStatus", R"({"host":""})"), null_error(2, "Host invalid"));
  EXPECT_EQ(ask("ServerStatus", R"({"host":5})"), null_error(3, "Host invalid"));
  EXPECT_EQ(ask("ServerStatus", R"({})"), null_error(4, "Host invalid"));
  EXPECT_EQ(ask("ServerDisconnect", object(valid_params())), R"({"id":5,"data":true})");
}

TEST_F(Commands, ConnectToAClosedPortAnswersFalseAndLeavesNoDriver) {
  const auto port = free_port();
  EXPECT_EQ(ask("ServerConnect", object(with(valid_params(), "port", std::to_string(port)))), R"({"id":1,"data":false})");
  EXPECT_EQ(plc::registry().size(), 0u);
  EXPECT_EQ(plc::registry().find("127.0.0.1"), nullptr);
}

TEST_F(Commands, ConnectForAProtocolWithoutDriverAnswersFalse) {
  EXPECT_EQ(ask("ServerConnect", object(with(valid_params(), "protocol", "7"))), R"({"id":1,"data":false})");
  EXPECT_EQ(plc::registry().size(), 0u);
}

// A scanning in-memory driver registered under `host`.
plc::memory::driver& add_memory_driver(std::string host) {
  auto target = std::make_shared<plc::memory::controller>(64);
  auto owned = std::make_unique<plc::memory::driver>(std::move(host), target);
  auto& d = *owned;
  plc::connection_params params;
  params.scan_rate = 0.002;
  d.configure(params);
  if (!d.connect()) throw std::runtime_error("memory driver did not connect");
  plc::registry().insert(std::move(owned));
  return d;
}

TEST_F(Commands, StatusFollowsTheDriverAndDisconnectRemovesIt) {
  auto& d = add_memory_driver("plc-7");
  EXPECT_EQ(ask("ServerStatus", R"({"host":"plc-7"})"), R"({"id":1,"data":true})");
  EXPECT_EQ(ask("ServerStatus", R"({"host":"PLC-7"})"), R"({"id":2,"data":false})");
  d.target().set_online(false);  // the controller goes away: the scan fails
  EXPECT_TRUE(eventually([&] { return !d.connected(); }));
  EXPECT_EQ(ask("ServerStatus", R"({"host":"plc-7"})"), R"({"id":3,"data":false})");
  EXPECT_EQ(ask("ServerDisconnect", object(with(valid_params(), "host", "\"plc-7\""))), R"({"id":4,"data":true})");
  EXPECT_EQ(plc::registry().find("plc-7"), nullptr);
}

std::string table(std::string_view version, std::string_view tags, std::string_view names = {}) {
  std::string t = "{\"version\":" + std::string(version) + ",\"tags\":" + std::string(tags);
  if (!names.empty()) t += ",\"names\":" + std::string(names);
  return t + '}';
}

TEST_F(Commands, BindingTablesChecksItsFieldsInOrder) {
  auto& d = add_memory_driver("plc-b");
  const std::string ok_in = table("3", "[1,2]");
  const std::string ok_out = table("4", "[5]");
  const std::vector<std::pair<std::string, std::string_view>> cases = {
      {object({{"id", "1"}, {"inputs", ok_in}, {"outputs", ok_out}}), "Host invalid"},
      {object({{"host", "5"}, {"id", "1"}}), "Host invalid"},
      {object({{"host", "\"plc-b\""}, {"inputs", ok_in}, {"outputs", ok_out}}), "Id invalid"},
      {object({{"host", "\"plc-b\""}, {"id", "\"1\""}}), "Id invalid"},
      {object({{"host", "\"nobody\""}, {"id", "1"}, {"inputs", ok_in}, {"outputs", ok_out}}), "Server not found"},
      {object({{"host", "\"\""}, {"id", "1"}}), "Server not found"},
      {object({{"host", "\"plc-b\""}, {"id", "1"}, {"outputs", ok_out}}), "Inputs invalid"},
      {object({{"host", "\"plc-b\""}, {"id", "1"}, {"inputs", "[]"}}), "Inputs invalid"},
      {object({{"host", "\"plc-b\""}, {"id", "1"}, {"inputs", "{\"tags\":[]}"}}), "Inputs version invalid"},
      {object({{"host", "\"plc-b\""}, {"id", "1"}, {"inputs", table("-1", "[]")}}), "Inputs version invalid"},
      {object({{"host", "\"plc-b\""}, {"id", "1"}, {"inputs", "{\"version\":1}"}}), "Input tags invalid"},
      {object({{"host", "\"plc-b\""}, {"id", "1"}, {"inputs", table("1", "[1,\"2\"]")}}), "Input tags invalid"},
      {object({{"host", "\"plc-b\""}, {"id", "1"}, {"inputs", ok_in}}), "Outputs invalid"},
      {object({{"host", "\"plc-b\""}, {"id", "1"}, {"inputs", ok_in}, {"outputs", "{\"tags\":[]}"}}),
       "Outputs version invalid"},
      {object({{"host", "\"plc-b\""}, {"id", "1"}, {"inputs", ok_in}, {"outputs", "{\"version\":2,\"tags\":{}}"}}),
       "Output tags invalid"},
  };
  for (const auto& [data, message] : cases)
  {
    const int id = next_id();
    EXPECT_EQ(ask("BindingTables", data), false_error(id, message)) << data;
  }

  int id = next_id();
  const std::uint64_t writes_before = d.target().writes();
  EXPECT_EQ(ask("BindingTables", object({{"host", "\"plc-b\""}, {"id", "-7"}, {"inputs", ok_in}, {"outputs", ok_out}})),
            "{\"id\":" + std::to_string(id) + ",\"data\":true}");
  EXPECT_EQ(d.id(), -7);
  {
    std::lock_guard lock(d.inputs().mutex);
    EXPECT_EQ(d.inputs().tags, (std::vector<std::uint64_t>{1, 2}));
    EXPECT_EQ(d.inputs().version.load(), 3u);
  }
  // Newly bound inputs are dirty, so the running scan writes them once (it
  // writes only when something is dirty) and clears them.
  EXPECT_TRUE(eventually([&] {
    std::lock_guard lock(d.inputs().mutex);
    return d.inputs().dirty == std::vector<bool>{false, false} && d.target().writes() > writes_before;
  }));
  {
    std::lock_guard lock(d.outputs().mutex);
    EXPECT_EQ(d.outputs().tags, (std::vector<std::uint64_t>{5}));
    EXPECT_EQ(d.outputs().version.load(), 4u);
  }

  // A failure in the outputs leaves the new inputs bound and the old outputs.
  id = next_id();
  EXPECT_EQ(ask("BindingTables", object({{"host", "\"plc-b\""}, {"id", "2"}, {"inputs", table("9", "[]")},
                                         {"outputs", "{\"version\":10}"}})),
            false_error(id, "Output tags invalid"));
  std::lock_guard lock(d.outputs().mutex);
  EXPECT_EQ(d.outputs().tags, (std::vector<std::uint64_t>{5}));
  EXPECT_EQ(d.inputs().version.load(), 9u);
  EXPECT_EQ(d.id(), 2);
}

}  // namespace
}  // namespace kvt::test
