// A command-server connection that keeps what is sent to it, for the fuzz
// targets that drive the protocol layer without a socket.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "server/connection.hpp"

namespace kvt::fuzz {

class recording_connection final : public server::connection {
 public:
  using server::connection::send_binary;
  using server::connection::send_text;

  void send_text(std::string message, kind k) override {
    texts.push_back(std::move(message));
    text_kinds.push_back(k);
  }
  void send_binary(std::shared_ptr<const std::string> bytes) override { binaries.push_back(std::move(bytes)); }
  bool is_open() const noexcept override { return open; }

  void forget() {
    texts.clear();
    text_kinds.clear();
    binaries.clear();
  }

  std::vector<std::string> texts;
  std::vector<kind> text_kinds;  // of each text, same index
  std::vector<std::shared_ptr<const std::string>> binaries;  // shared with the other receivers, as sent
  bool open = true;
};

}  // namespace kvt::fuzz
