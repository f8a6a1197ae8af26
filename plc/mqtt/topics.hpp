// Topic names the driver accepts, and the map from a subscribed topic to the
// outputs bound to it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace kvt::plc::mqtt {

// A topic an input may be published to: not empty, at most 65,535 bytes,
// no NUL (the library takes C strings, so the name would be cut short) and
// no wildcard.
bool valid_publish_topic(std::string_view topic) noexcept;

// A topic an output may follow: the same rules. Wildcard filters are refused
// too: messages are matched to outputs by their exact topic, so a filter
// would only fill the queue with messages no output takes.
bool valid_subscribe_topic(std::string_view topic) noexcept;

struct topic_hash {
  using is_transparent = void;
  std::size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
};

// Topic to the indices of the outputs bound to it, in index order.
using subscription_map = std::unordered_map<std::string, std::vector<std::uint32_t>, topic_hash, std::equal_to<>>;

}  // namespace kvt::plc::mqtt
