// What a read or write plan was made for: the plan is made again when the
// bindings change, the link is made again (the controller may have changed
// meanwhile), the PDU length differs or joining is switched.
#pragma once

#include <cstdint>

namespace kvt::plc::s7 {

struct plan_key {
  std::uint64_t generation = 0;  // of the bindings
  std::uint64_t link = 0;        // counts the connections made
  int pdu_length = 0;
  bool join = true;

  bool operator==(const plan_key&) const = default;
};

}  // namespace kvt::plc::s7
