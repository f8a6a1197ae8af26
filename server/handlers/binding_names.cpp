#include "server/handlers/binding_names.hpp"

#include <string>

#include "plc/connection_params.hpp"
#include "plc/tables.hpp"

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

}  // namespace

bool protocol_uses_names(std::int32_t protocol) noexcept {
  return protocol == plc::protocol::eip || protocol == plc::protocol::ads || protocol == plc::protocol::opcua ||
         protocol == plc::protocol::mqtt;
}

bool bind_names(plc::driver_base& driver, table_side side, std::span<const std::string_view> names,
                const connection_ptr& /*reply_to*/) {
  switch (driver.protocol()) {
    case plc::protocol::mqtt: return store_string_names(driver, side, names);
    default: return false;  // no name handling for this protocol in this build
  }
}

}  // namespace kvt::server
