// What CIP and encapsulation statuses mean to a tag: the error code its
// status takes.
#pragma once

#include <cstdint>

namespace kvt::plc::eip {

// The error for a CIP general status (and its first extended status word)
// other than success.
int error_of_cip_status(std::uint8_t general, std::uint16_t extended) noexcept;

}  // namespace kvt::plc::eip
