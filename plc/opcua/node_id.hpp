// The node handle kept beside each bound OPC UA signal: the node id parsed
// from the name the page gave for it.
#pragma once

#include <open62541/types.h>

#include <memory>
#include <string_view>

namespace kvt::plc::opcua {

// Owns one UA_NodeId and clears it when the last owner lets go. A name that
// does not parse (or parses to the null node id) leaves the handle invalid:
// it addresses nothing, and the scan leaves its signal out of every request.
class handle {
 public:
  handle() noexcept { UA_NodeId_init(&id_); }
  explicit handle(std::string_view text) noexcept;
  ~handle() { UA_NodeId_clear(&id_); }
  handle(const handle&) = delete;
  handle& operator=(const handle&) = delete;

  const UA_NodeId& id() const noexcept { return id_; }
  bool valid() const noexcept { return valid_; }

 private:
  UA_NodeId id_;
  bool valid_ = false;
};

using handle_ptr = std::shared_ptr<handle>;

// Parses a node id in its standard text form ("ns=2;s=Line1.Speed",
// "i=2258", "ns=1;g=…", "ns=1;b=…"). Never null; check `valid()`.
handle_ptr parse_node_id(std::string_view text);

}  // namespace kvt::plc::opcua
