// "ListTags": what an EtherNet/IP or ADS controller offers, read over a
// connection of the listing's own (no driver is involved), as names and tag
// descriptors the page can bind.
#pragma once

#include <cstdint>

#include "server/connection.hpp"
#include "server/json_reader.hpp"

namespace kvt::server {

void handle_list_tags(std::int32_t id, json_object& data, const connection_ptr& reply_to);

}  // namespace kvt::server
