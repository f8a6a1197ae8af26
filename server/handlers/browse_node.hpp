// "BrowseNode": the children of one node of an OPC UA server, read over a
// connection of the browse's own (no driver is involved), as names, node ids
// and tag descriptors the page can browse further or bind.
#pragma once

#include <cstdint>

#include "server/connection.hpp"
#include "server/json_reader.hpp"

namespace kvt::server {

void handle_browse_node(std::int32_t id, json_object& data, const connection_ptr& reply_to);

}  // namespace kvt::server
