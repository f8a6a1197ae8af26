#include "plc/eip/tags/status.hpp"

#include <array>

#include "plc/eip/tags/frames.hpp"
#include "plc/eip/tags/plc_tag.hpp"

namespace kvt::plc::eip {

int error_of_cip_status(std::uint8_t general, std::uint16_t extended) noexcept {
  switch (general) {
    case cip_status::success: return status_ok;
    case cip_status::connection_failure: return err_bad_connection;
    case 0x02: return err_no_resources;  // resource unavailable
    case 0x03: return err_bad_param;     // invalid parameter value
    case cip_status::path_segment_error:
    case cip_status::path_destination_unknown: return err_not_found;
    case cip_status::partial_transfer: return err_partial;
    case cip_status::service_not_supported: return err_unsupported;
    case 0x0F: return err_not_allowed;    // privilege violation
    case 0x10: return err_not_allowed;    // device state conflict
    case 0x11: return err_too_large;      // reply data too large
    case 0x13: return err_too_small;      // not enough data
    case 0x15: return err_too_large;      // too much data
    case 0x26: return err_bad_param;      // path size invalid
    case 0xFF:
      // Logix: 0x2105 a read or write beyond the tag's end, 0x2107 a type
      // that does not match the tag's.
      if (extended == 0x2105) return err_out_of_bounds;
      if (extended == 0x2107) return err_bad_data;
      return err_remote_err;
    default: return err_remote_err;
  }
}

const char* plc_tag_decode_error(int code) {
  static constexpr std::array<const char*, 39> errors{
      "PLCTAG_ERR_ABORT",          "PLCTAG_ERR_BAD_CONFIG",    "PLCTAG_ERR_BAD_CONNECTION",
      "PLCTAG_ERR_BAD_DATA",       "PLCTAG_ERR_BAD_DEVICE",    "PLCTAG_ERR_BAD_GATEWAY",
      "PLCTAG_ERR_BAD_PARAM",      "PLCTAG_ERR_BAD_REPLY",     "PLCTAG_ERR_BAD_STATUS",
      "PLCTAG_ERR_CLOSE",          "PLCTAG_ERR_CREATE",        "PLCTAG_ERR_DUPLICATE",
      "PLCTAG_ERR_ENCODE",         "PLCTAG_ERR_MUTEX_DESTROY", "PLCTAG_ERR_MUTEX_INIT",
      "PLCTAG_ERR_MUTEX_LOCK",     "PLCTAG_ERR_MUTEX_UNLOCK",  "PLCTAG_ERR_NOT_ALLOWED",
      "PLCTAG_ERR_NOT_FOUND",      "PLCTAG_ERR_NOT_IMPLEMENTED", "PLCTAG_ERR_NO_DATA",
      "PLCTAG_ERR_NO_MATCH",       "PLCTAG_ERR_NO_MEM",        "PLCTAG_ERR_NO_RESOURCES",
      "PLCTAG_ERR_NULL_PTR",       "PLCTAG_ERR_OPEN",          "PLCTAG_ERR_OUT_OF_BOUNDS",
      "PLCTAG_ERR_READ",           "PLCTAG_ERR_REMOTE_ERR",    "PLCTAG_ERR_THREAD_CREATE",
      "PLCTAG_ERR_THREAD_JOIN",    "PLCTAG_ERR_TIMEOUT",       "PLCTAG_ERR_TOO_LARGE",
      "PLCTAG_ERR_TOO_SMALL",      "PLCTAG_ERR_UNSUPPORTED",   "PLCTAG_ERR_WINSOCK",
      "PLCTAG_ERR_WRITE",          "PLCTAG_ERR_PARTIAL",       "PLCTAG_ERR_BUSY"};
  if (code == status_pending) return "PLCTAG_STATUS_PENDING";
  if (code == status_ok) return "PLCTAG_STATUS_OK";
  if (code < 0 && code >= err_busy) return errors[static_cast<std::size_t>(-code - 1)];
  return "Unknown error.";
}

}  // namespace kvt::plc::eip
