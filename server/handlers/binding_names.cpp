#include "server/handlers/binding_names.hpp"

#include <string>

#include "plc/ads/driver.hpp"
#include "plc/connection_params.hpp"
#include "plc/eip/driver.hpp"
#include "plc/opcua/node_id.hpp"
#include "plc/tables.hpp"
#include "server/messages.hpp"
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
      reply_to->send_event(log_error(std::string(log_message::opcua_node_id_invalid) + std::string(name)));
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

// EtherNet/IP: each name starts the creation of a tag for its signal; then
// the table's tags are waited for together (5 s in all), so that the
// creations run side by side. A name the controller does not know keeps
// its tag from becoming ready, and the whole table is refused.
template <class Table>
bool create_eip_tags(plc::eip::driver& driver, Table* table, std::span<const std::string_view> names) {
  if (table == nullptr) return false;
  table->handles.clear();
  table->handles.reserve(names.size());
  for (std::size_t i = 0; i < names.size(); ++i) table->handles.push_back(driver.create_tag(table->tags[i], names[i]));
  return driver.wait_for_tags(table->handles);
}

bool store_eip_names(plc::driver_base& driver, table_side side, std::span<const std::string_view> names) {
  auto* eip = dynamic_cast<plc::eip::driver*>(&driver);
  if (eip == nullptr) return false;
  using handle = plc::eip::handle_ptr;
  if (side == table_side::inputs) return create_eip_tags(*eip, dynamic_cast<plc::inputs<handle>*>(&driver.inputs()), names);
  return create_eip_tags(*eip, dynamic_cast<plc::outputs<handle>*>(&driver.outputs()), names);
}

}  // namespace

bool protocol_uses_names(std::int32_t protocol) noexcept {
  return protocol == plc::protocol::eip || protocol == plc::protocol::ads || protocol == plc::protocol::opcua ||
         protocol == plc::protocol::mqtt;
}

void prepare_names(plc::driver_base& driver, std::span<const std::string_view> names,
                   std::span<std::uint64_t> tags, const connection_ptr& reply_to) {
  auto* ads = dynamic_cast<plc::ads::driver*>(&driver);
  if (ads == nullptr) return;
  for (std::size_t i = 0; i < names.size() && i < tags.size(); ++i) {
    if (!ads->resolve_symbol(names[i], tags[i]) && reply_to)
      reply_to->send_event(log_error(std::string(log_message::ads_symbol_unresolved) + std::string(names[i])));
  }
}

bool bind_names(plc::driver_base& driver, table_side side, std::span<const std::string_view> names,
                const connection_ptr& reply_to) {
  switch (driver.protocol()) {
    case plc::protocol::mqtt: return store_string_names(driver, side, names);
    case plc::protocol::opcua: return store_node_id_names(driver, side, names, reply_to);
    case plc::protocol::eip: return store_eip_names(driver, side, names);
    case plc::protocol::ads: return true;  // the names went into the tags beforehand
    default: return false;  // no name handling for this protocol in this build
  }
}

}  // namespace kvt::server
