#include "plc/mqtt/topics.hpp"

namespace kvt::plc::mqtt {

namespace {
constexpr std::size_t max_topic_bytes = 65'535;
}

bool valid_publish_topic(std::string_view topic) noexcept {
  return !topic.empty() && topic.size() <= max_topic_bytes && topic.find_first_of(std::string_view("\0+#", 3)) ==
                                                                     std::string_view::npos;
}

bool valid_subscribe_topic(std::string_view topic) noexcept { return valid_publish_topic(topic); }

}  // namespace kvt::plc::mqtt
