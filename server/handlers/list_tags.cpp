#include "server/handlers/list_tags.hpp"

#include <string>
#include <vector>

#include "plc/ads/symbol_listing.hpp"
#include "plc/connection_params.hpp"
#include "plc/eip/tag_attributes.hpp"
#include "plc/eip/tag_listing.hpp"
#include "plc/listing_entry.hpp"
#include "server/json_writer.hpp"
#include "server/messages.hpp"
#include "server/replies.hpp"

namespace kvt::server {

namespace {

// {"id":N,"data":{"names":[...],"tags":[...]}}; names are escaped like any
// other string, so a name with a quote still makes valid JSON.
std::string listing_reply(std::int32_t id, const std::vector<plc::listing_entry>& entries) {
  json_writer w;
  w.begin_object().key(key::id).number(id).key(key::data).begin_object().key(key::names).begin_array();
  for (const auto& e : entries) w.string(e.name);
  w.end_array().key(key::tags).begin_array();
  for (const auto& e : entries) w.number(e.tag);
  w.end_array().end_object().end_object();
  return w.take();
}

}  // namespace

void handle_list_tags(std::int32_t id, json_object& data, const connection_ptr& reply_to) {
  std::uint64_t protocol = 0;
  if (!read_uint(data, key::protocol, protocol) || !plc::protocol::is_valid(static_cast<std::int32_t>(protocol)) ||
      protocol > static_cast<std::uint64_t>(plc::protocol::last)) {
    reply_to->send_text(reply_error(id, error::protocol_invalid));
    return;
  }
  std::string_view type;
  if (!read_string(data, key::type, type)) {
    reply_to->send_text(reply_error(id, error::type_invalid));
    return;
  }
  std::string_view host;
  if (!read_string(data, key::host, host) || host.empty()) {
    reply_to->send_text(reply_error(id, error::host_invalid));
    return;
  }
  std::int64_t port = 0;
  if (!read_int(data, key::port, port) || static_cast<std::int32_t>(static_cast<std::uint32_t>(port)) < 0) {
    reply_to->send_text(reply_error(id, error::port_invalid));
    return;
  }
  bool data_area = false;
  if (!read_bool(data, key::data_area, data_area)) data_area = false;

  // The strings point into the request; the listing copies what it keeps.
  const std::string type_text(type);
  const std::string host_text(host);
  std::vector<plc::listing_entry> entries;
  bool listed = false;
  switch (static_cast<std::int32_t>(protocol)) {
    case plc::protocol::eip:
      if (type_text == plc::eip::omron_njnx)
        listed = plc::eip::list_omron_tags(host_text, entries);
      else
        listed = plc::eip::list_logix_tags(type_text, host_text,
                                           type_text == plc::eip::micro800 ? std::string_view{} : default_eip_path,
                                           entries);
      break;
    case plc::protocol::ads:
      listed = plc::ads::list_symbols(host_text, static_cast<std::int32_t>(port), data_area, entries);
      break;
    default: reply_to->send_text(reply_error(id, error::protocol_unsupported)); return;
  }
  if (!listed) {
    reply_to->send_text(reply_error(id, error::server_function_failed));
    return;
  }
  reply_to->send_text(listing_reply(id, entries));
}

}  // namespace kvt::server
