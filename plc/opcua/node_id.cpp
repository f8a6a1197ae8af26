#include "plc/opcua/node_id.hpp"

#include <cstdint>

namespace kvt::plc::opcua {

handle::handle(std::string_view text) noexcept {
  UA_NodeId_init(&id_);
  if (text.empty()) return;
  // The parser reads exactly `length` bytes; the name need not be terminated.
  UA_String s;
  s.length = text.size();
  s.data = reinterpret_cast<UA_Byte*>(const_cast<char*>(text.data()));
  if (UA_NodeId_parse(&id_, s) != UA_STATUSCODE_GOOD) {
    UA_NodeId_clear(&id_);
    return;
  }
  valid_ = !UA_NodeId_isNull(&id_);
}

handle_ptr parse_node_id(std::string_view text) { return std::make_shared<handle>(text); }

}  // namespace kvt::plc::opcua
