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

// Work a table's names need before its mutex is taken, since it talks to
// the controller: ADS symbol names are resolved into the area and offset of
// their tags (an unknown one keeps the page's tag and is reported to the
// page with a log event). Nothing for the other protocols.
void prepare_names(plc::driver_base& driver, std::span<const std::string_view> names,
                   std::span<std::uint64_t> tags, const connection_ptr& reply_to);

// Turns one table's names into the driver's handles, one per tag, in order.
// Called with that table's mutex held, after its tags were appended. Returns
// false when the names cannot be bound; the caller then empties the table.
bool bind_names(plc::driver_base& driver, table_side side, std::span<const std::string_view> names,
                const connection_ptr& reply_to);

}  // namespace kvt::server
