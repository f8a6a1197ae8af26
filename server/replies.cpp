#include "server/replies.hpp"

#include "server/json_writer.hpp"
#include "server/messages.hpp"

namespace kvt::server {

std::string reply_bool(std::int32_t id, bool value) {
  json_writer w;
  w.begin_object().key(key::id).number(id).key(key::data).boolean(value).end_object();
  return w.take();
}

std::string reply_error(std::int32_t id, std::string_view message) {
  json_writer w;
  w.begin_object().key(key::id).number(id).key(key::data).null().key(key::error).string(message).end_object();
  return w.take();
}

std::string reply_false_error(std::int32_t id, std::string_view message) {
  json_writer w;
  w.begin_object().key(key::id).number(id).key(key::data).boolean(false).key(key::error).string(message).end_object();
  return w.take();
}

std::string reply_number(std::int32_t id, std::int32_t value) {
  json_writer w;
  w.begin_object().key(key::id).number(id).key(key::data).number(value).end_object();
  return w.take();
}

std::string reply_unsigned(std::int32_t id, std::uint32_t value) {
  json_writer w;
  w.begin_object().key(key::id).number(id).key(key::data).number(value).end_object();
  return w.take();
}

std::string log_error(std::string_view message) {
  json_writer w;
  w.begin_object()
      .key(key::type)
      .string(event::log)
      .key(key::level)
      .string(event::level_error)
      .key(key::message)
      .string(message)
      .end_object();
  return w.take();
}

}  // namespace kvt::server
