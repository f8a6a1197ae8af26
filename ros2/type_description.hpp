// One type-description JSON file as the ROS 2 interface generator installs it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "ros2/type_catalogue.hpp"

namespace kvt::ros2 {

struct description_field {
  std::string name;
  std::uint32_t type_id = 0;
  std::uint32_t capacity = 0;
  std::uint32_t string_capacity = 0;
  std::string nested_type_name;
};

struct described_type {
  std::string type_name;
  std::vector<description_field> fields;
};

struct type_description {
  described_type main;
  std::vector<described_type> referenced;
};

// The description in `path`, or nothing when the file cannot be read or any
// part is missing or of the wrong type.
std::optional<type_description> read_type_description(const std::filesystem::path& path);

// Catalogue fields of a described type; nothing when a type id is unknown.
std::optional<field_list> convert_fields(const described_type& type);

}  // namespace kvt::ros2
