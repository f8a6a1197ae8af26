// The ADS driver's messages on standard error (printf formats; the error
// numbers are the library's results, printed as signed decimals).
#pragma once

namespace kvt::plc::ads::message {

inline constexpr const char* connect_failed = "Error %ld: Failed to connect.\n";
inline constexpr const char* invalid_tag_area = "Error: Invalid tag area.\n";
inline constexpr const char* open_failed = "Error %ld: Failed to open communication.\n";
inline constexpr const char* invalid_host = "Error: Invalid host.\n";
inline constexpr const char* upload_info_failed = "Error %ld: Failed to read length of the variable declaration.\n";
inline constexpr const char* upload_failed = "Error %ld: Failed to read information about the PLC variables.\n";
inline constexpr const char* upload_malformed = "Error: The PLC's variable information is malformed.\n";
inline constexpr const char* close_failed = "Error %ld: Failed to close communication.\n";

}  // namespace kvt::plc::ads::message
