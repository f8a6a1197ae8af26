// What one tag operation sends and how it takes the replies: the requests
// of a read (Read Tag, or Read Tag Fragmented from byte offsets when the
// value outgrows a reply), a write (Write Tag or Write Tag Fragmented; a
// tag whose type is not known yet is read once first), a symbol listing
// page by page, and a raw request. No I/O: the session sends what these
// build and hands back each reply's CIP message.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

#include "plc/eip/tags/frames.hpp"
#include "plc/eip/tags/tag_state.hpp"

namespace kvt::plc::eip {

// The largest CIP request and reply one message may carry.
struct message_limits {
  std::size_t request = 0;
  std::size_t reply = 0;
};

struct work_item {
  std::shared_ptr<tag_state> tag;
  std::uint64_t op_id = 0;
  op_kind kind = op_kind::read;
  bool started = false;     // a request has gone out
  bool fragmented = false;  // further requests use the fragmented services
  bool probing = false;     // a write reading the tag's type first
  std::uint32_t offset = 0;  // bytes transferred so far
  std::uint32_t chunk = 0;   // bytes the last fragment carried
  std::uint32_t total = 0;   // bytes of a fragmented write
  std::uint32_t next_instance = 0;  // the listing's next page
  std::uint8_t service = 0;          // of the last request
};

// The sizes of the item's request and expected reply when it can travel in
// a Multiple Service Packet: the first request of a read of known size or
// of a write of known type. Nothing for anything else.
struct packed_sizes {
  std::size_t request = 0;
  std::size_t reply = 0;
};
std::optional<packed_sizes> packable(const work_item& item);

// Appends the item's next request. An error code when there is none to
// send (a value that cannot be encoded, a write with no data).
int append_request(work_item& item, byte_buffer& out, const message_limits& limits);

// Takes the reply message to the item's last request: status_ok when the
// operation is complete, status_pending when it needs another request, or
// the error that ends it.
int apply_reply(work_item& item, byte_span message);

}  // namespace kvt::plc::eip
