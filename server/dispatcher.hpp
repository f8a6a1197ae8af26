// Parses text commands and calls their handlers.
#pragma once

#include <simdjson.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "server/connection.hpp"
#include "server/json_reader.hpp"

namespace kvt::server {

using command_handler = void (*)(std::int32_t id, json_object& data, const connection_ptr& reply_to);

// The handler of a command name (compared byte for byte), or null.
command_handler find_handler(std::string_view type) noexcept;

class dispatcher {
 public:
  // One text message: {"id": unsigned, "type": string, "data": object}.
  // Anything else is dropped without a reply: a message that is not exactly
  // one well-formed JSON object (UTF-8, nothing after it) never reaches a
  // handler. An unknown type is answered with "Message type invalid".
  // Replies go to `reply_to`.
  void handle_text(std::string_view message, const connection_ptr& reply_to);

 private:
  // The whole message is checked with the validating parser first: the
  // on-demand parser that the handlers read with sees a syntax error only
  // when it reaches it, and must not be read from after that.
  simdjson::dom::parser validator_;
  simdjson::ondemand::parser parser_;
  std::string padded_;  // the message with the parser's padding, reused
};

}  // namespace kvt::server
