#include "s7/s7_wire_tap.hpp"

namespace kvt::test {

namespace {

// TPKT header, COTP header, then the S7 header (0x32, message type, ...)
// and the parameters: function code, item count, 12 bytes per item.
constexpr std::size_t tpkt_header = 4;
constexpr std::size_t item_spec_bytes = 12;
constexpr std::uint8_t job = 1;
enum function_code : std::uint8_t { function_read = 4, function_write = 5 };

int word_at(std::span<const std::uint8_t> b, std::size_t i) { return b[i] << 8 | b[i + 1]; }

// A TPKT frame's length, header included.
std::size_t tpkt_length(std::span<const std::uint8_t> header) { return static_cast<std::size_t>(word_at(header, 2)); }

}  // namespace

s7_wire_tap::s7_wire_tap(std::uint16_t server_port)
    : relay_(server_port, [this] {
        return client_frames(tpkt_header, tpkt_length, [this](std::span<const std::uint8_t> frame) { record(frame); });
      }) {}

// Records the frame if it is a read or write job.
void s7_wire_tap::record(std::span<const std::uint8_t> frame) {
  if (frame.size() < tpkt_header + 1) return;
  const std::size_t s7 = tpkt_header + 1 + frame[tpkt_header];  // after the COTP header
  if (frame.size() < s7 + 12 || frame[s7] != 0x32 || frame[s7 + 1] != job) return;
  const std::size_t params = s7 + 10;
  const std::uint8_t function = frame[params];
  if (function != function_read && function != function_write) return;
  wire_request request;
  request.write = function == function_write;
  const std::size_t count = frame[params + 1];
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t at = params + 2 + i * item_spec_bytes;
    if (frame.size() < at + item_spec_bytes) break;
    request.items.push_back({frame[at + 3], word_at(frame, at + 4), word_at(frame, at + 6), frame[at + 8],
                             frame[at + 9] << 16 | frame[at + 10] << 8 | frame[at + 11]});
  }
  requests_.add(std::move(request));
}

}  // namespace kvt::test
