#include "server/handlers/browse_node.hpp"

#include <string>
#include <vector>

#include "plc/listing_entry.hpp"
#include "plc/opcua/browse.hpp"
#include "server/json_writer.hpp"
#include "server/messages.hpp"
#include "server/replies.hpp"

namespace kvt::server {

namespace {

// {"id":N,"data":[{"name":"NAME","path":"PATH","tag":TAG},...]}; names are
// escaped like the paths, so a browse name with a quote still makes valid
// JSON.
std::string browse_reply(std::int32_t id, const std::vector<plc::listing_entry>& entries) {
  json_writer w;
  w.begin_object().key(key::id).number(id).key(key::data).begin_array();
  for (const auto& e : entries)
    w.begin_object().key(key::name).string(e.name).key(key::path).string(e.path).key(key::tag).number(e.tag).end_object();
  w.end_array().end_object();
  return w.take();
}

}  // namespace

void handle_browse_node(std::int32_t id, json_object& data, const connection_ptr& reply_to) {
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
  // The host points into the request, which the next read may move on from.
  const std::string host_text(host);
  std::string_view node;
  if (!read_string(data, key::node, node) || node.empty()) {
    reply_to->send_text(reply_error(id, error::node_invalid));
    return;
  }
  const std::string node_text(node == browse_root ? objects_folder_node : node);

  std::vector<plc::listing_entry> entries;
  if (!plc::opcua::browse(host_text, static_cast<std::int32_t>(static_cast<std::uint32_t>(port)), node_text,
                          entries)) {
    reply_to->send_text(reply_error(id, error::operation_failed));
    return;
  }
  reply_to->send_text(browse_reply(id, entries));
}

}  // namespace kvt::server
