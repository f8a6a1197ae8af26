// The program's three shared-memory buffers: names and the ROS buffer's header.
#pragma once

#include <string>

namespace kvt {

class shared_memory;

struct buffer_names {
  std::string command;  // "KVT_CommandBuffer_<pid>"
  std::string signal;   // "KVT_SignalBuffer_<pid>"
  std::string ros;      // "KVT_Ros2Buffer_<pid>"
};

// The names for the process with id `pid` (decimal, no leading zeros).
buffer_names buffer_names_for(unsigned long pid);

// Writes the ROS buffer's initial header: request word 0, then 1 and 16 for
// the page and the bridge library.
void write_ros_header(shared_memory& ros);

}  // namespace kvt
