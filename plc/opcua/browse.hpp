// The children of one node of an OPC UA server, for the page to choose from
// before it binds anything. A short-lived client of the browse's own
// connects, lists the node's children and their attributes, and closes
// again; no driver is involved.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "plc/listing_entry.hpp"

namespace kvt::plc::opcua {

// Bound on the connection and on each service call of a browse.
inline constexpr std::uint32_t browse_timeout_ms = 5000;
// Attributes per Read request and nodes per Browse request when the server
// reports no limit of its own; a limit the server reports is kept to, up to
// `max_batch`.
inline constexpr std::size_t default_batch = 1000;
inline constexpr std::size_t max_batch = 10'000;
// Children of one node beyond which a browse gives up.
inline constexpr std::size_t max_children = 1'000'000;

// Lists the children of node `node_text` (standard text form, "i=85" for the
// Objects folder) on the server at `host` and `port` (endpoint URL as for the
// driver), in the order the server returns them:
//  - objects, as containers (tag descriptor 0);
//  - scalar variables of a supported data type that can be read or written,
//    with the access bits (3 read and write, 2 read, 1 write) and the value
//    type in the descriptor;
//  - scalar variables of other data types that aggregate further nodes, as
//    containers.
// Everything else is left out. A child's name is its browse name behind the
// browse names of the node and its parents, up to the Objects folder or the
// first folder that organizes one of them, each followed by a dot; its path
// is its node id in text form.
//
// Appends the children to `entries` and returns true; false when the server
// cannot be reached, the text is not a node id or the server refuses a step
// (then `entries` is left as it was).
bool browse(std::string_view host, std::int32_t port, std::string_view node_text,
            std::vector<listing_entry>& entries);

}  // namespace kvt::plc::opcua
