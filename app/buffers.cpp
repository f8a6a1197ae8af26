#include "app/buffers.hpp"

#include <cstring>

#include "platform/shared_memory.hpp"
#include "renderer/page_contract.hpp"

namespace kvt {

buffer_names buffer_names_for(unsigned long pid) {
  const std::string id = std::to_string(pid);
  return {"KVT_CommandBuffer_" + id, "KVT_SignalBuffer_" + id, "KVT_Ros2Buffer_" + id};
}

void write_ros_header(shared_memory& ros) {
  namespace r = kvt::page::ros;
  if (ros.view() == nullptr || ros.size() < r::header_bytes) return;
  auto* base = static_cast<unsigned char*>(ros.view());
  std::memcpy(base + r::request_offset, &r::initial_request, sizeof r::initial_request);
  std::memcpy(base + r::page_value_offset, &r::initial_page_value, sizeof r::initial_page_value);
  std::memcpy(base + r::page_word_offset, &r::initial_page_word, sizeof r::initial_page_word);
}

}  // namespace kvt
