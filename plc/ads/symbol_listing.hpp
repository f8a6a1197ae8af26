// The controller's symbol table for the tag listing: every symbol whose
// type and area the driver carries, in the controller's order.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "plc/listing_entry.hpp"

namespace kvt::plc::ads {

// Opens a port of its own, uploads the table from the runtime at `host`
// (an AMS Net ID) and AMS `port`, closes the port. False (with the reason
// on standard error) when the library is missing, the host is not a Net
// ID, or the controller cannot deliver a well-formed table.
bool list_symbols(const std::string& host, std::int32_t port, bool data_area, std::vector<listing_entry>& out);

}  // namespace kvt::plc::ads
