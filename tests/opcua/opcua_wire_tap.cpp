#include "opcua/opcua_wire_tap.hpp"

#include <open62541/types.h>

#include <type_traits>

namespace kvt::test {

namespace {

// OPC UA binary chunk: "MSG", chunk type, 32-bit size; then channel id,
// token id, sequence number and request id; then the body, which begins
// with the node id of the request's encoding.
constexpr std::size_t chunk_header = 8;
constexpr std::size_t msg_body = 24;
constexpr std::uint32_t read_request_encoding = 631;
constexpr std::uint32_t write_request_encoding = 673;
constexpr std::uint32_t browse_request_encoding = 527;
constexpr std::uint32_t browse_next_request_encoding = 533;

std::size_t chunk_size(std::span<const std::uint8_t> header) {
  return static_cast<std::size_t>(header[4]) | static_cast<std::size_t>(header[5]) << 8 |
         static_cast<std::size_t>(header[6]) << 16 | static_cast<std::size_t>(header[7]) << 24;
}

// The nodes a single-chunk request carries, decoded by the library itself.
template <class Request>
std::size_t count_nodes(std::span<const std::uint8_t> chunk, std::size_t body, const UA_DataType& type,
                        std::size_t Request::*size, bool* release = nullptr) {
  UA_ByteString bytes;
  bytes.length = chunk.size() - body;
  bytes.data = const_cast<UA_Byte*>(chunk.data() + body);
  Request request;
  if (UA_decodeBinary(&bytes, &request, &type, nullptr) != UA_STATUSCODE_GOOD) return 0;
  const std::size_t n = request.*size;
  if constexpr (std::is_same_v<Request, UA_BrowseNextRequest>)
    if (release != nullptr) *release = request.releaseContinuationPoints;
  UA_clear(&request, &type);
  return n;
}

}  // namespace

opcua_wire_tap::opcua_wire_tap(std::uint16_t server_port)
    : relay_(server_port, [this] {
        return client_frames(chunk_header, chunk_size,
                             [this, inside_message = false](std::span<const std::uint8_t> chunk) mutable {
                               record(chunk, inside_message);
                             });
      }) {}

std::size_t opcua_wire_tap::count(ua_request::service kind) const {
  std::size_t n = 0;
  for (const ua_request& r : requests_.items()) n += r.kind == kind ? 1 : 0;
  return n;
}

// Records the Read or Write request that begins in the chunk, if any.
void opcua_wire_tap::record(std::span<const std::uint8_t> chunk, bool& inside_message) {
  if (chunk[0] != 'M' || chunk[1] != 'S' || chunk[2] != 'G' || chunk.size() < msg_body + 4) return;
  const bool first = !inside_message;
  inside_message = chunk[3] == 'C';
  if (!first) return;

  // The encoding's node id in its two-byte (0x00) or four-byte (0x01) form.
  std::uint32_t encoding = 0;
  std::size_t body = msg_body;
  if (chunk[body] == 0x00) {
    encoding = chunk[body + 1];
    body += 2;
  } else if (chunk[body] == 0x01) {
    encoding = static_cast<std::uint32_t>(chunk[body + 2]) | static_cast<std::uint32_t>(chunk[body + 3]) << 8;
    body += 4;
  } else {
    return;
  }
  const bool single = chunk[3] == 'F';
  ua_request r;
  if (encoding == read_request_encoding) {
    r.kind = ua_request::service::read;
    if (single) r.nodes = count_nodes(chunk, body, UA_TYPES[UA_TYPES_READREQUEST], &UA_ReadRequest::nodesToReadSize);
  } else if (encoding == write_request_encoding) {
    r.kind = ua_request::service::write;
    if (single)
      r.nodes = count_nodes(chunk, body, UA_TYPES[UA_TYPES_WRITEREQUEST], &UA_WriteRequest::nodesToWriteSize);
  } else if (encoding == browse_request_encoding) {
    r.kind = ua_request::service::browse;
    if (single)
      r.nodes = count_nodes(chunk, body, UA_TYPES[UA_TYPES_BROWSEREQUEST], &UA_BrowseRequest::nodesToBrowseSize);
  } else if (encoding == browse_next_request_encoding) {
    r.kind = ua_request::service::browse_next;
    if (single)
      r.nodes = count_nodes(chunk, body, UA_TYPES[UA_TYPES_BROWSENEXTREQUEST],
                            &UA_BrowseNextRequest::continuationPointsSize, &r.release);
  } else {
    return;
  }
  requests_.add(r);
}

}  // namespace kvt::test
