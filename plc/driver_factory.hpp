// Constructs the driver of a protocol code with its defaults.
#pragma once

#include <cstdint>
#include <memory>

#include "plc/driver_base.hpp"

namespace kvt::plc {

// Null for a protocol whose driver this build does not contain.
std::unique_ptr<driver_base> make_driver(std::int32_t protocol);

}  // namespace kvt::plc
