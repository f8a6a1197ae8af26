// The command buffer as a mailbox between the page and the other clients:
// binary messages from clients go into the buffer (and the page is told with
// the byte 255), the page's messages go out to the clients, and files named
// by a client (or on the command line) are loaded into the buffer.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

#include "server/client_hub.hpp"

namespace kvt::server {

class command_relay {
 public:
  // `buffer` is the mapped command buffer of page::command::buffer_bytes, or
  // null (then only registration works).
  command_relay(std::byte* buffer, client_hub& hub) : buffer_(buffer), hub_(hub) {}

  // A binary message from `sender`. Messages without a whole 12-byte header,
  // or whose length word exceeds the bytes after the header or the payload
  // area, are dropped.
  void handle_binary(std::span<const std::byte> message, const connection_ptr& sender);

  // When the page has set the status word to 1: sends the buffer's message to
  // every client (if a page is registered) and hands the buffer back (code
  // 255, status 0). A length word beyond the payload area sends nothing.
  void relay_page_message();

  // Loads the file at `path` for the page: through the buffer with a 255
  // notification, or as one binary message to the page when it is larger
  // than the payload area. A file that cannot be read is ignored.
  void load_file(std::string_view path);

 private:
  void store_message(std::uint8_t code, std::span<const std::byte> payload);
  void notify_page();

  std::byte* buffer_;
  client_hub& hub_;
};

}  // namespace kvt::server
