// Comments of a struct in a ROS 2 IDL file: the struct's own and its
// members', taken from their "@verbatim" annotations.
#pragma once

#include <map>
#include <string>
#include <string_view>

namespace kvt::ros2 {

struct struct_comments {
  bool found = false;  // the struct exists in the file
  std::string comment;
  std::map<std::string, std::string, std::less<>> members;  // member name -> comment
};

struct_comments read_struct_comments(std::string_view idl, std::string_view struct_name);

// The text of the annotation starting at `at` (its "@verbatim"): the
// concatenated string literals after "text" and "=", up to the closing ")".
// False when the file ends first; `end` is the position after the ")".
bool read_annotation_text(std::string_view idl, std::size_t at, std::string& text, std::size_t& end);

}  // namespace kvt::ros2
