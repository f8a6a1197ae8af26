// The catalogue of installed ROS 2 interface types that the page reads.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kvt::ros2 {

struct ros2_field {
  std::string name;
  std::string comment;        // from the IDL file, empty when there is none
  int type = 0;               // catalogue type code
  bool array = false;         // fixed array or sequence
  bool dynamic = false;       // sequence, or unbounded string
  std::uint32_t count = 0;    // array length or sequence bound; 0 otherwise
  std::uint32_t max_length = 0;  // string capacity of string types; 0 otherwise
  std::string message_type;   // nested type name, empty for plain types
};

using field_list = std::vector<ros2_field>;

struct ros2_message {
  std::string name;
  std::string comment;
  field_list fields;
};

struct ros2_service {
  std::string name;
  field_list request_fields;
  field_list response_fields;
};

struct ros2_action {
  std::string name;
  field_list goal_fields;
  field_list result_fields;
  field_list feedback_fields;
};

struct type_catalogue {
  std::vector<ros2_message> messages;
  std::vector<ros2_service> services;
  std::vector<ros2_action> actions;
};

}  // namespace kvt::ros2
