// Browsing an OPC UA folder of 1,000 Int32 variables on open62541's server
// on loopback, as "BrowseNode" does it (connection, listing, attribute reads,
// closing): how long one browse takes and how many Read, Browse and
// BrowseNext requests it sends, counted on the wire by a tap. Once with the
// server's default limits and once with a server that answers Browse with
// 100 references at a time and takes at most 300 nodes per Read.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>
#include <vector>

#include "opcua/opcua_server.hpp"
#include "opcua/opcua_wire_tap.hpp"
#include "plc/listing_entry.hpp"
#include "plc/opcua/browse.hpp"

namespace {

using namespace kvt;
using service = test::ua_request::service;

constexpr int folder_size = 1000;

void browse_folder(benchmark::State& state, test::opcua_server_options options) {
  test::opcua_test_server server(0, options);
  server.add_node({.what = test::opcua_tree_node::kind::folder,
                   .node_id = "ns=2;s=Bulk",
                   .browse_name = "Bulk",
                   .reference = UA_NS0ID_ORGANIZES});
  for (int k = 0; k < folder_size; ++k)
    server.add_node({.node_id = "ns=2;i=" + std::to_string(20000 + k),
                     .browse_name = "V" + std::to_string(k),
                     .parent = "ns=2;s=Bulk",
                     .type_index = UA_TYPES_INT32});
  test::opcua_wire_tap tap(server.port());

  std::size_t browses = 0;
  for (auto _ : state) {
    std::vector<plc::listing_entry> entries;
    if (!plc::opcua::browse("127.0.0.1", tap.port(), "ns=2;s=Bulk", entries) || entries.size() != folder_size) {
      state.SkipWithError("browse failed or incomplete");
      return;
    }
    ++browses;
  }
  const auto per_browse = [&](service kind) {
    return browses == 0 ? 0.0 : static_cast<double>(tap.count(kind)) / static_cast<double>(browses);
  };
  state.counters["reads"] = per_browse(service::read);
  state.counters["browses"] = per_browse(service::browse);
  state.counters["browse_nexts"] = per_browse(service::browse_next);
}

void BM_BrowseFolder(benchmark::State& state) { browse_folder(state, {}); }
void BM_BrowseFolderNarrowServer(benchmark::State& state) {
  browse_folder(state, {.max_references_per_node = 100, .max_nodes_per_read = 300});
}

BENCHMARK(BM_BrowseFolder)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BrowseFolderNarrowServer)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
