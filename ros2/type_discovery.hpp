// Finds the installed ROS 2 interface types: the ament resource index under
// every AMENT_PREFIX_PATH entry, each type's description JSON and its IDL
// file's comments. Done in full on every call.
#pragma once

#include <string>
#include <string_view>

#include "ros2/type_catalogue.hpp"

namespace kvt::ros2 {

inline constexpr const char* ament_prefix_variable = "AMENT_PREFIX_PATH";
inline constexpr char ament_prefix_separator = ':';

// True with at least one type; false with "AMENT_PREFIX_PATH is not set" or
// "No ROS2 types found".
bool discover_types(type_catalogue& out, std::string& message);

// The same over an explicit prefix list (the variable's value).
bool discover_types_in(std::string_view prefix_list, type_catalogue& out, std::string& message);

}  // namespace kvt::ros2
