// What an EtherNet/IP controller offers: the Logix (and Micro800) symbol
// table through the tag layer's "@tags" listing, and an Omron NJ/NX
// controller's tag instances through raw CIP requests. Only scalar tags of
// the atomic types the exchange carries are listed. Failures are written to
// standard error.
#pragma once

#include <string_view>
#include <vector>

#include "plc/listing_entry.hpp"

namespace kvt::plc::eip {

// How long each listing request waits.
inline constexpr int listing_timeout_ms = 5000;

bool list_logix_tags(std::string_view type, std::string_view host, std::string_view path,
                     std::vector<listing_entry>& entries);
bool list_omron_tags(std::string_view host, std::vector<listing_entry>& entries);

// The value type of a CIP atomic type code; 0 when the exchange does not
// carry it.
std::uint32_t value_type_of_cip(std::uint32_t cip_type) noexcept;

}  // namespace kvt::plc::eip
