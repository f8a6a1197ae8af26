// The tags by id and the sessions they share: one session per gateway,
// route and controller family, counted by its tags and closed with the
// last. Holds the tag layer's I/O thread.
#pragma once

#include <cstdint>
#include <memory>
#include <shared_mutex>
#include <string>
#include <unordered_map>

#include "plc/eip/tags/attributes.hpp"
#include "plc/eip/tags/io_runtime.hpp"
#include "plc/eip/tags/session.hpp"
#include "plc/eip/tags/tag_state.hpp"

namespace kvt::plc::eip {

class tag_registry {
 public:
  static tag_registry& instance();
  ~tag_registry();

  // A new tag on its session (opened on first use): its id and state.
  std::pair<std::int32_t, std::shared_ptr<tag_state>> add(tag_attributes attributes);
  std::shared_ptr<tag_state> find(std::int32_t id) const;
  // Takes the tag out; its session closes when it was the last tag on it.
  std::shared_ptr<tag_state> remove(std::int32_t id);

 private:
  tag_registry() = default;
  struct session_entry {
    std::shared_ptr<session> s;
    std::size_t users = 0;
  };
  static std::string key_of(const tag_attributes& a);

  io_runtime io_;  // first: stopped and destroyed after everything that uses it
  mutable std::shared_mutex mutex_;
  std::unordered_map<std::int32_t, std::shared_ptr<tag_state>> tags_;
  std::unordered_map<std::string, session_entry> sessions_;
  std::int32_t next_id_ = 1;
};

}  // namespace kvt::plc::eip
