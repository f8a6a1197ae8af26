// Browsing an OPC UA server: the browse itself and the "BrowseNode" command
// against open62541's server on loopback. The servers hold a tree of
// folders, objects, variables of every kind and methods, and a folder of
// 1,000 variables; one of them answers Browse with a few references at a
// time and takes at most 300 nodes per Read. Wire taps count the service
// calls.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "opcua/opcua_server.hpp"
#include "opcua/opcua_wire_tap.hpp"
#include "plc/listing_entry.hpp"
#include "plc/opcua/browse.hpp"
#include "plc/value_type.hpp"
#include "support/driver_session.hpp"

namespace kvt::test {
namespace {

namespace vt = kvt::plc::value_type;
using kind = opcua_tree_node::kind;
using service = ua_request::service;

constexpr int bulk_size = 1000;
constexpr std::uint32_t narrow_references = 7;
constexpr std::uint32_t narrow_reads = 300;

std::string bulk_id(int k) { return "ns=2;i=" + std::to_string(20000 + k); }

// One child of the "Types" folder and what the browse makes of it.
struct typed_child {
  std::string browse_name;
  opcua_tree_node node;
  std::optional<std::uint64_t> tag;  // nullopt: left out
};

opcua_tree_node variable(const std::string& name, int type_index, std::uint8_t access = 3,
                         std::int32_t rank = UA_VALUERANK_SCALAR) {
  return {.what = kind::variable,
          .node_id = "ns=2;s=Types." + name,
          .browse_name = name,
          .parent = "ns=2;s=Types",
          .type_index = type_index,
          .value_rank = rank,
          .access_level = access};
}

const std::vector<typed_child>& types_folder() {
  static const std::vector<typed_child> children{
      {"Bool", variable("Bool", UA_TYPES_BOOLEAN), plc::make_tag(vt::boolean, 3)},
      {"SByte", variable("SByte", UA_TYPES_SBYTE, UA_ACCESSLEVELMASK_READ), plc::make_tag(vt::s8, 2)},
      {"Byte", variable("Byte", UA_TYPES_BYTE, UA_ACCESSLEVELMASK_WRITE), plc::make_tag(vt::u8, 1)},
      {"Int16", variable("Int16", UA_TYPES_INT16), plc::make_tag(vt::s16, 3)},
      {"UInt16", variable("UInt16", UA_TYPES_UINT16), plc::make_tag(vt::u16, 3)},
      {"Int32", variable("Int32", UA_TYPES_INT32), plc::make_tag(vt::s32, 3)},
      {"UInt32", variable("UInt32", UA_TYPES_UINT32, UA_ACCESSLEVELMASK_READ), plc::make_tag(vt::u32, 2)},
      {"Float", variable("Float", UA_TYPES_FLOAT), plc::make_tag(vt::real, 3)},
      {"Double", variable("Double", UA_TYPES_DOUBLE), plc::make_tag(vt::lreal, 3)},
      {"Hidden", variable("Hidden", UA_TYPES_INT32, 0), std::nullopt},
      {"Array", variable("Array", UA_TYPES_INT32, 3, UA_VALUERANK_ONE_DIMENSION), std::nullopt},
      {"AnyRank", variable("AnyRank", UA_TYPES_INT32, 3, UA_VALUERANK_ANY), std::nullopt},
      {"Int64", variable("Int64", UA_TYPES_INT64), std::nullopt},
      {"Text", variable("Text", UA_TYPES_STRING), std::nullopt},
      {"Range", variable("Range", UA_TYPES_STRING), 0},  // aggregates the two properties below
      {"Start",
       {.what = kind::method, .node_id = "ns=2;s=Types.Start", .browse_name = "Start", .parent = "ns=2;s=Types"},
       std::nullopt},
      {"Motor",
       {.what = kind::object, .node_id = "ns=2;s=Types.Motor", .browse_name = "Motor", .parent = "ns=2;s=Types"},
       0},
      {"Say\"hi\"", variable("Say\"hi\"", UA_TYPES_INT32), plc::make_tag(vt::s32, 3)},
  };
  return children;
}

void build_tree(opcua_test_server& server) {
  const auto folder = [&](const std::string& id, const std::string& name, const std::string& parent) {
    server.add_node({.what = kind::folder, .node_id = id, .browse_name = name, .parent = parent,
                     .reference = UA_NS0ID_ORGANIZES});
  };
  const auto object = [&](const std::string& id, const std::string& name, const std::string& parent) {
    server.add_node({.what = kind::object, .node_id = id, .browse_name = name, .parent = parent});
  };
  // Objects / Plant / Line1 / Cell2 / Speed, and Plant / Archive / Count.
  folder("ns=2;s=Plant", "Plant", "i=85");
  object("ns=2;s=Plant.Line1", "Line1", "ns=2;s=Plant");
  object("ns=2;s=Plant.Line1.Cell2", "Cell2", "ns=2;s=Plant.Line1");
  server.add_node({.node_id = "ns=2;s=Plant.Line1.Cell2.Speed", .browse_name = "Speed",
                   .parent = "ns=2;s=Plant.Line1.Cell2"});
  folder("ns=2;s=Plant.Archive", "Archive", "ns=2;s=Plant");
  server.add_node({.node_id = "ns=2;s=Plant.Archive.Count", .browse_name = "Count", .parent = "ns=2;s=Plant.Archive",
                   .type_index = UA_TYPES_UINT32, .access_level = UA_ACCESSLEVELMASK_READ});

  folder("ns=2;s=Types", "Types", "i=85");
  for (const typed_child& c : types_folder()) server.add_node(c.node);
  for (const char* bound : {"Low", "High"})
    server.add_node({.node_id = std::string("ns=2;s=Types.Range.") + bound, .browse_name = bound,
                     .parent = "ns=2;s=Types.Range", .reference = UA_NS0ID_HASPROPERTY});

  folder("ns=2;s=Bulk", "Bulk", "i=85");
  for (int k = 0; k < bulk_size; ++k)
    server.add_node({.node_id = bulk_id(k), .browse_name = "V" + std::to_string(k), .parent = "ns=2;s=Bulk",
                     .type_index = UA_TYPES_INT32});
}

const plc::listing_entry* find(const std::vector<plc::listing_entry>& entries, const std::string& path) {
  const auto it = std::find_if(entries.begin(), entries.end(), [&](const auto& e) { return e.path == path; });
  return it == entries.end() ? nullptr : &*it;
}

class OpcuaBrowse : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    plain = std::make_unique<opcua_test_server>();
    build_tree(*plain);
    plain_tap = std::make_unique<opcua_wire_tap>(plain->port());
    narrow = std::make_unique<opcua_test_server>(
        0, opcua_server_options{.max_references_per_node = narrow_references, .max_nodes_per_read = narrow_reads});
    build_tree(*narrow);
    narrow_tap = std::make_unique<opcua_wire_tap>(narrow->port());
    session = std::make_unique<driver_session>();
  }
  static void TearDownTestSuite() {
    session.reset();
    narrow_tap.reset();
    narrow.reset();
    plain_tap.reset();
    plain.reset();
  }

  // The children of `node` through `tap`; fails the test when the browse does.
  static std::vector<plc::listing_entry> children(const opcua_wire_tap& tap, const std::string& node) {
    std::vector<plc::listing_entry> entries;
    EXPECT_TRUE(plc::opcua::browse("127.0.0.1", tap.port(), node, entries)) << node;
    return entries;
  }
  static std::string browse_data(const std::string& node, std::int64_t port) {
    return R"({"host":"127.0.0.1","port":)" + std::to_string(port) + R"(,"node":")" + node + "\"}";
  }
  static std::string error_reply(const std::string& message) {
    return R"({"id":)" + std::to_string(session->last_id()) + R"(,"data":null,"error":")" + message + "\"}";
  }

  static inline std::unique_ptr<opcua_test_server> plain;
  static inline std::unique_ptr<opcua_wire_tap> plain_tap;
  static inline std::unique_ptr<opcua_test_server> narrow;
  static inline std::unique_ptr<opcua_wire_tap> narrow_tap;
  static inline std::unique_ptr<driver_session> session;
};

TEST_F(OpcuaBrowse, ListsObjectsAndBindableScalarsWithAccessAndType) {
  for (const opcua_wire_tap* tap : {plain_tap.get(), narrow_tap.get()}) {
    const std::vector<plc::listing_entry> entries = children(*tap, "ns=2;s=Types");
    std::size_t listed = 0;
    for (const typed_child& c : types_folder()) {
      SCOPED_TRACE(c.browse_name);
      const plc::listing_entry* e = find(entries, c.node.node_id);
      if (!c.tag) {
        EXPECT_EQ(e, nullptr);
        continue;
      }
      ++listed;
      ASSERT_NE(e, nullptr);
      EXPECT_EQ(e->name, "Types." + c.browse_name);
      EXPECT_EQ(e->tag, *c.tag);
    }
    EXPECT_EQ(entries.size(), listed);
  }
}

TEST_F(OpcuaBrowse, NamesCarryTheParentsUpToTheObjectsFolderOrAnOrganizingFolder) {
  struct row {
    std::string node, child, name;
  };
  const std::vector<row> rows{
      {"i=85", "ns=2;s=Plant", "Plant"},
      {"ns=2;s=Plant", "ns=2;s=Plant.Line1", "Plant.Line1"},
      {"ns=2;s=Plant.Line1", "ns=2;s=Plant.Line1.Cell2", "Plant.Line1.Cell2"},
      {"ns=2;s=Plant.Line1.Cell2", "ns=2;s=Plant.Line1.Cell2.Speed", "Plant.Line1.Cell2.Speed"},
      {"ns=2;s=Plant.Archive", "ns=2;s=Plant.Archive.Count", "Archive.Count"},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.node);
    const std::vector<plc::listing_entry> entries = children(*plain_tap, r.node);
    const plc::listing_entry* e = find(entries, r.child);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->name, r.name);
  }
}

TEST_F(OpcuaBrowse, CommandAnswersChildrenOrTheFirstInvalidKey) {
  const std::int64_t port = plain->port();
  struct row {
    std::string data;
    std::string error;     // the null error's message, or
    std::string contains;  // text the reply holds
  };
  const std::vector<row> rows{
      {R"({"port":4840,"node":"ROOT"})", "Host invalid", ""},
      {R"({"host":"","port":4840,"node":"ROOT"})", "Host invalid", ""},
      {R"({"host":"127.0.0.1","port":-1,"node":""})", "Port invalid", ""},
      {R"({"host":"127.0.0.1","port":"4840","node":"ROOT"})", "Port invalid", ""},
      {browse_data("", port), "Node invalid", ""},
      {R"({"host":"127.0.0.1","port":4840,"node":85})", "Node invalid", ""},
      {browse_data("ns=2;q=nonsense", port), "Operation failed", ""},
      {browse_data("ns=2;s=Nowhere", port), "Operation failed", ""},
      {browse_data("ROOT", port), "", R"({"name":"Plant","path":"ns=2;s=Plant","tag":0})"},
      {browse_data("ROOT", port), "", R"({"name":"Server","path":"i=2253","tag":0})"},
      {browse_data("ns=2;s=Plant.Line1.Cell2", port), "",
       R"(,"data":[{"name":"Plant.Line1.Cell2.Speed","path":"ns=2;s=Plant.Line1.Cell2.Speed","tag":)" +
           std::to_string(plc::make_tag(vt::lreal, 3)) + "}]}"},
      {browse_data("ns=2;s=Types", port), "", R"({"name":"Types.Say\"hi\"","path":"ns=2;s=Types.Say\"hi\"","tag":)"},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.data);
    const std::string reply = session->ask("BrowseNode", r.data);
    if (!r.error.empty())
      EXPECT_EQ(reply, error_reply(r.error));
    else
      EXPECT_NE(reply.find(r.contains), std::string::npos) << reply;
  }
}

TEST_F(OpcuaBrowse, ContinuationPointsAreFollowedToTheLastChild) {
  narrow_tap->clear();
  const std::vector<plc::listing_entry> entries = children(*narrow_tap, "ns=2;s=Bulk");
  ASSERT_EQ(entries.size(), static_cast<std::size_t>(bulk_size));
  std::set<std::string> paths;
  for (const auto& e : entries) paths.insert(e.path);
  for (int k = 0; k < bulk_size; ++k) EXPECT_EQ(paths.count(bulk_id(k)), 1u) << k;
  EXPECT_EQ(find(entries, bulk_id(7))->name, "Bulk.V7");
  EXPECT_GE(narrow_tap->count(service::browse_next), static_cast<std::size_t>(bulk_size / narrow_references));
}

TEST_F(OpcuaBrowse, ContinuationPointsNotFollowedAreReleased) {
  // The aggregates check asks for one reference of "Range", which has two.
  plain_tap->clear();
  children(*plain_tap, "ns=2;s=Types");
  const std::vector<ua_request> requests = plain_tap->requests();
  EXPECT_TRUE(std::any_of(requests.begin(), requests.end(), [](const ua_request& r) {
    return r.kind == service::browse_next && r.release && r.nodes == 1;
  }));
}

TEST_F(OpcuaBrowse, AttributesOfAThousandVariablesTakeAFewBatchedReads) {
  struct row {
    opcua_wire_tap* tap;
    std::size_t batch;  // largest Read the server takes or the browse sends
  };
  for (const row& r : {row{plain_tap.get(), plc::opcua::default_batch}, row{narrow_tap.get(), narrow_reads}}) {
    SCOPED_TRACE(r.batch);
    r.tap->clear();
    EXPECT_EQ(children(*r.tap, "ns=2;s=Bulk").size(), static_cast<std::size_t>(bulk_size));
    // Five attributes a child, the operation limits, and one name for the prefix.
    const std::size_t attributes = 5 * bulk_size;
    const std::size_t expected = (attributes + r.batch - 1) / r.batch + 2;
    EXPECT_EQ(r.tap->count(service::read), expected);
    for (const ua_request& q : r.tap->requests())
      if (q.kind == service::read) {
        EXPECT_LE(q.nodes, r.batch);
      }
  }
}

}  // namespace
}  // namespace kvt::test
