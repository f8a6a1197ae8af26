#include "server/handlers/binding_tables.hpp"

#include <mutex>
#include <string_view>
#include <vector>

#include "plc/driver_registry.hpp"
#include "server/handlers/binding_names.hpp"
#include "server/messages.hpp"
#include "server/replies.hpp"

namespace kvt::server {

namespace {

struct table_messages {
  std::string_view invalid;
  std::string_view version_invalid;
  std::string_view tags_invalid;
  std::string_view names_invalid;
};

constexpr table_messages input_messages{error::inputs_invalid, error::inputs_version_invalid,
                                        error::input_tags_invalid, error::input_names_invalid};
constexpr table_messages output_messages{error::outputs_invalid, error::outputs_version_invalid,
                                         error::output_tags_invalid, error::output_names_invalid};

// Every element must be an unsigned integer; anything else makes the array invalid.
bool read_tags(json_array& array, std::vector<std::uint64_t>& tags) {
  tags.clear();
  for (auto element : array) {
    std::uint64_t tag = 0;
    if (read_failed(element.get_uint64().get(tag))) return false;
    tags.push_back(tag);
  }
  return true;
}

// One string per tag; a missing array, another element type or another count fails.
bool read_names(json_object& table, std::size_t count, std::vector<std::string_view>& names) {
  names.clear();
  json_array array;
  if (!read_array(table, key::names, array)) return false;
  for (auto element : array) {
    std::string_view name;
    if (read_failed(element.get_string().get(name))) return false;
    names.push_back(name);
  }
  return names.size() == count;
}

// Binds one table; returns the error message, or an empty view on success.
template <class Table>
std::string_view bind_table(plc::driver_base& driver, Table& table, table_side side, json_object& data,
                            std::string_view table_key, const table_messages& messages,
                            const connection_ptr& reply_to) {
  json_object object;
  if (!read_object(data, table_key, object)) return messages.invalid;
  std::uint64_t version = 0;
  if (!read_uint(object, key::version, version)) return messages.version_invalid;
  json_array tag_array;
  std::vector<std::uint64_t> tags;
  if (!read_array(object, key::tags, tag_array) || !read_tags(tag_array, tags)) return messages.tags_invalid;

  const bool uses_names = protocol_uses_names(driver.protocol());
  std::vector<std::string_view> names;
  const bool names_read = uses_names && read_names(object, tags.size(), names);
  if (names_read) prepare_names(driver, names, tags, reply_to);

  std::lock_guard lock(table.mutex);
  table.clear();
  for (const std::uint64_t tag : tags) table.append(tag);
  if (uses_names && !(names_read && bind_names(driver, side, names, reply_to))) {
    // Tags without their handles would be exchanged with nothing behind
    // them: the table stays empty instead.
    table.clear();
    return messages.names_invalid;
  }
  table.version.exchange(static_cast<std::uint32_t>(version));
  return {};
}

}  // namespace

void handle_binding_tables(std::int32_t id, json_object& data, const connection_ptr& reply_to) {
  std::string_view host;
  if (!read_string(data, key::host, host)) {
    reply_to->send_text(reply_false_error(id, error::host_invalid));
    return;
  }
  std::int64_t driver_id = 0;
  if (!read_int(data, key::id, driver_id)) {
    reply_to->send_text(reply_false_error(id, error::id_invalid));
    return;
  }
  plc::driver_base* driver = plc::registry().find(host);
  if (driver == nullptr) {
    reply_to->send_text(reply_false_error(id, error::server_not_found));
    return;
  }
  driver->set_id(static_cast<std::int32_t>(static_cast<std::uint32_t>(static_cast<std::uint64_t>(driver_id))));

  std::string_view failure =
      bind_table(*driver, driver->inputs(), table_side::inputs, data, key::inputs, input_messages, reply_to);
  if (failure.empty())
    failure = bind_table(*driver, driver->outputs(), table_side::outputs, data, key::outputs, output_messages, reply_to);
  reply_to->send_text(failure.empty() ? reply_bool(id, true) : reply_false_error(id, failure));
}

}  // namespace kvt::server
