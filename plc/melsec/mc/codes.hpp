// Return values and result codes of the communication component.
//
// Every operation returns an HRESULT-like value: 0 on success, a negative
// one on failure. Its `result` argument carries the detail:
//   0                      success;
//   0x0001 to 0xFFFF       the controller's end code (it refused a request);
//   0x0F000001 and above   the component's own codes below.
#pragma once

#include <cstdint>

namespace kvt::plc::melsec::mc {

inline constexpr std::int32_t s_ok = 0;
// A call that reached the controller, or tried to, and failed.
inline constexpr std::int32_t e_fail = static_cast<std::int32_t>(0x8000'4005u);
// A call refused before anything was sent: bad device list, count, pointer
// or argument.
inline constexpr std::int32_t e_invalid_arg = static_cast<std::int32_t>(0x8007'0057u);

namespace code {
inline constexpr std::int32_t ok = 0;
inline constexpr std::int32_t bad_device_list = 0x0F00'0001;   // unknown device, bad number, count mismatch
inline constexpr std::int32_t bad_argument = 0x0F00'0002;      // null values, negative station
inline constexpr std::int32_t not_open = 0x0F00'0003;          // read/write before open() or after close()
inline constexpr std::int32_t bad_host = 0x0F00'0004;          // host text or port unusable, name not resolved
inline constexpr std::int32_t connect_failed = 0x0F00'0005;    // refused, unreachable or connect time-out
inline constexpr std::int32_t timed_out = 0x0F00'0006;         // no whole response within the time-out
inline constexpr std::int32_t connection_lost = 0x0F00'0007;   // closed or broken while sending or waiting
inline constexpr std::int32_t bad_response = 0x0F00'0008;      // malformed response (subheader, lengths, data)
}  // namespace code

}  // namespace kvt::plc::melsec::mc
