// The page's two channels against the process's real driver registry: a
// WebSocket to the command server for "ServerConnect", "BindingTables" and
// "ServerStatus", and the signal buffer served by an exchange thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "support/page_player.hpp"
#include "support/server_fixture.hpp"
#include "support/ws_client.hpp"

namespace kvt::test {

// One bound signal as the page describes it.
struct page_signal {
  std::string topic;
  std::uint64_t tag = 0;
};

class page_session {
 public:
  page_session();
  ~page_session();
  page_session(const page_session&) = delete;
  page_session& operator=(const page_session&) = delete;

  // Sends one command and returns its reply.
  std::optional<std::string> ask(std::string_view type, const std::string& data);

  // "ServerConnect" for an MQTT broker; true when the reply is true.
  bool connect(const std::string& host, std::uint16_t port);
  bool status(const std::string& host);
  bool bind(const std::string& host, std::int32_t id, std::uint32_t version, const std::vector<page_signal>& inputs,
            const std::vector<page_signal>& outputs);

  // Runs one output exchange and folds the records for `id` into `view`.
  const std::vector<std::int32_t>& outputs_seen(std::int32_t id);
  page_player& player() { return player_; }

 private:
  server_fixture server_;
  ws_client page_;
  int last_id_ = 0;
  std::vector<std::uint32_t> words_;
  page_player player_;
  std::vector<std::int32_t> view_;
  std::atomic<bool> shutdown_{false};
  std::thread exchange_;
};

}  // namespace kvt::test
