#include "plc/eip/tags/tag_registry.hpp"

#include <limits>
#include <mutex>

namespace kvt::plc::eip {

tag_registry& tag_registry::instance() {
  static tag_registry registry;
  return registry;
}

tag_registry::~tag_registry() {
  io_.stop();
  std::unique_lock lock(mutex_);
  tags_.clear();
  sessions_.clear();
}

std::string tag_registry::key_of(const tag_attributes& a) {
  static constexpr char hex[] = "0123456789abcdef";
  std::string key = a.host;
  key += ':';
  key += std::to_string(a.port);
  key += '/';
  for (const std::uint8_t b : a.route) {
    key += hex[b >> 4];
    key += hex[b & 0xF];
  }
  key += '/';
  key += static_cast<char>('0' + static_cast<int>(a.family));
  return key;
}

std::pair<std::int32_t, std::shared_ptr<tag_state>> tag_registry::add(tag_attributes attributes) {
  std::string key = key_of(attributes);
  std::unique_lock lock(mutex_);
  session_entry& entry = sessions_[key];
  if (!entry.s) {
    entry.s = std::make_shared<session>(
        io_.context(), session_settings{attributes.host, attributes.port, attributes.route, attributes.family});
  }
  ++entry.users;
  auto tag = std::make_shared<tag_state>(std::move(attributes), entry.s);
  while (tags_.contains(next_id_)) next_id_ = next_id_ == std::numeric_limits<std::int32_t>::max() ? 1 : next_id_ + 1;
  const std::int32_t id = next_id_;
  next_id_ = next_id_ == std::numeric_limits<std::int32_t>::max() ? 1 : next_id_ + 1;
  tags_.emplace(id, tag);
  return {id, std::move(tag)};
}

std::shared_ptr<tag_state> tag_registry::find(std::int32_t id) const {
  std::shared_lock lock(mutex_);
  const auto it = tags_.find(id);
  return it == tags_.end() ? nullptr : it->second;
}

std::shared_ptr<tag_state> tag_registry::remove(std::int32_t id) {
  std::unique_lock lock(mutex_);
  const auto it = tags_.find(id);
  if (it == tags_.end()) return nullptr;
  std::shared_ptr<tag_state> tag = std::move(it->second);
  tags_.erase(it);
  const auto s = sessions_.find(key_of(tag->attributes()));
  if (s != sessions_.end() && --s->second.users == 0) {
    s->second.s->close();
    sessions_.erase(s);
  }
  return tag;
}

}  // namespace kvt::plc::eip
