// Payloads of the four formats: a value slot to the bytes published for an
// input, and the bytes received for an output back into its slot.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "plc/mqtt/tag.hpp"

namespace kvt::plc::mqtt {

// Appends the payload of `slot` for a signal of `type` in `format` to `out`.
// Returns false, appending nothing, for a value type this driver does not carry.
bool append_payload(std::string& out, std::uint32_t type, payload_format format, std::int32_t slot);

// The slot an output holds after receiving `payload`. `slot` is its current
// value: narrow types replace only their low bytes. Malformed, short or
// out-of-range payloads give 0 in the value's bytes.
std::int32_t decode_payload(std::string_view payload, std::uint32_t type, payload_format format,
                            std::int32_t slot) noexcept;

}  // namespace kvt::plc::mqtt
