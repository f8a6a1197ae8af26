#include "server/handlers/binding_names.hpp"

#include <string>

#include "plc/connection_params.hpp"
#include "plc/opcua/node_id.hpp"
#include "plc/tables.hpp"
#include "server/replies.hpp"

namespace kvt::server {

namespace {

// Tables whose handles are the names themselves (MQTT topics).
template <class Table>
bool store_names(Table* table, std::span<const std::string_view> names) {
  if (table == nullptr) return false;
  table->handles.assign(names.begin(), names.end());
  return true;
}

bool store_string_names(plc::driver_base& driver, table_side side, std::span<const std::string_view> names) {
  if (side == table_side::inputs) return store_names(dynamic_cast<plc::inputs<std::string>*>(&driver.inputs()), names);
  return store_names(dynamic_cast<plc::outputs<std::string>*>(&driver.outputs()), names);
}

// OPC UA: each name is parsed into a node handle. A name that is not a node
// id still gets its (invalid) handle, so the other signals keep their
// places and work; the page hears of it through a log event, and the signal
// is left out of every request (its output stays 0).
template <class Table>
bool store_node_ids(Table* table, std::span<const std::string_view> names, const connection_ptr& reply_to) {
  if (table == nullptr) return false;
  table->handles.clear();
  table->handles.reserve(names.size());
  for (const std::string_view name : names) {
    plc::opcua::handle_ptr node = plc::opcua::parse_node_id(name);
    if (!node->valid() && reply_to)
      reply_to->send_event(log_error(std::string("Failed to parse OPC UA node id: ") + std::string(name)));
    table->handles.push_back(std::move(node));
  }
  return true;
}

bool store_node_id_names(plc::driver_base& driver, table_side side, std::span<const std::string_view> names,
                         const connection_ptr& reply_to) {
  using handle = plc::opcua::handle_ptr;
  if (side == table_side::inputs)
    return store_node_ids(dynamic_cast<plc::inputs<handle>*>(&driver.inputs()), names, reply_to);
  return store_node_ids(dynamic_cast<plc::outputs<handle>*>(&driver.outputs()), names, reply_to);
}

}  // namespace

bool protocol_uses_names(std::int32_t protocol) noexcept {
  return protocol == plc::protocol::eip || protocol == plc::protocol::ads || protocol == plc::protocol::opcua ||
         protocol == plc::protocol::mqtt;
}

bool bind_names(plc::driver_base& driver, table_side side, std::span<const std::string_view> names,
                const connection_ptr& reply_to) {
  switch (driver.protocol()) {
    case plc::protocol::mqtt: return store_string_names(driver, side, names);
    case plc::protocol::opcua: return store_node_id_names(driver, side, names, reply_to);
    default: return false;  // no name handling for this protocol in this build
  }
}

}  // namespace kvt::server
