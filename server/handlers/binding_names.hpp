// Names that accompany the tags of protocols that address signals by name
// (EtherNet/IP tags, ADS symbols, OPC UA node ids, MQTT topics).
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "plc/driver_base.hpp"
#include "server/connection.hpp"

namespace kvt::server {

enum class table_side { inputs, outputs };

// Whether a "names" array must come with the tags for this protocol.
bool protocol_uses_names(std::int32_t protocol) noexcept;

// Turns one table's names into the driver's handles, one per tag, in order.
// Called with that table's mutex held, after its tags were appended. Returns
// false when the names cannot be bound; the caller then empties the table.
bool bind_names(plc::driver_base& driver, table_side side, std::span<const std::string_view> names,
                const connection_ptr& reply_to);

}  // namespace kvt::server
