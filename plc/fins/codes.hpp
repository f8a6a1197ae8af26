// Result codes of the FINS client: 0 is success, 0x0001 to 0x7FFF are the
// controller's end codes (flag bits removed), the rest are the client's own.
#pragma once

#include <cstdint>

namespace kvt::plc::fins {

using result_code = std::uint16_t;

namespace code {
inline constexpr result_code ok = 0x0000;
inline constexpr result_code no_context = 0x8001;
inline constexpr result_code not_connected = 0x8002;
inline constexpr result_code out_of_memory = 0x8003;
inline constexpr result_code host_not_resolvable = 0x8005;
inline constexpr result_code too_many_errors = 0x8006;
inline constexpr result_code response_mismatch = 0x8007;
inline constexpr result_code no_host = 0x8101;
inline constexpr result_code no_address = 0x8102;
inline constexpr result_code no_data = 0x8103;
inline constexpr result_code bad_read_address = 0x8201;
inline constexpr result_code bad_write_address = 0x8202;
inline constexpr result_code no_read_area = 0x8301;
inline constexpr result_code no_write_area = 0x8302;
inline constexpr result_code bad_response_length = 0x8703;
inline constexpr result_code frame_too_long = 0x8704;
inline constexpr result_code short_send = 0x8706;
inline constexpr result_code socket_error = 0x8A00;  // set-up failure of an unlisted kind
inline constexpr result_code io_error = 0xC000;      // + the system's error number

// Send or receive failure with the system's error number.
constexpr result_code io_failure(int error) noexcept {
  return static_cast<result_code>(io_error + (static_cast<unsigned>(error) & 0x3FFFu));
}
}  // namespace code

// The client's code for a socket set-up failure with the system's error number.
result_code socket_setup_code(int error) noexcept;

}  // namespace kvt::plc::fins
