// The page's whole path to a driver, for end-to-end driver tests: the
// command server on a loopback port with a WebSocket registered as the page
// ("ServerConnect", "BindingTables", "ServerStatus" and their replies), and
// the signal exchange thread over a signal buffer that the test plays as the
// page, both on the process-wide driver registry. Nothing in it knows a
// protocol: the connection is a `plc::connection_params` written as the
// page writes it, the bindings are tag descriptors with optional names.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "plc/connection_params.hpp"
#include "plc/driver_base.hpp"
#include "support/page_player.hpp"
#include "support/server_fixture.hpp"
#include "support/ws_client.hpp"

namespace kvt::test {

inline constexpr std::string_view loopback_host = "127.0.0.1";

// A signal addressed by name (OPC UA node id, MQTT topic, ...) and its tag.
struct named_signal {
  std::string name;
  std::uint64_t tag = 0;
};

// One table of "BindingTables". Without names the request has no "names"
// key, as for the protocols that address signals by tag alone.
struct signal_table {
  std::vector<std::uint64_t> tags{};
  std::optional<std::vector<std::string>> names{};
  std::uint32_t version = 1;

  // A table with names, one per signal (an empty list still sends "names").
  static signal_table of(const std::vector<named_signal>& signals, std::uint32_t version = 1);
};

// The data of a "BindingTables" request.
struct binding_tables {
  std::string host{loopback_host};
  std::int32_t id = 1;
  signal_table inputs{};
  signal_table outputs{};
};

// The connection a test's page asks for: `protocol` on `loopback_host` and
// `port`, every other field zero or empty; a test sets what its protocol
// needs before sending it.
plc::connection_params connection(std::int32_t protocol, std::uint16_t port, double scan_rate = 0.002);

// "BindingTables" data, for a test that sends it by hand.
std::string binding_json(const binding_tables& tables);

class driver_session {
 public:
  // `reply_timeout`: how long a command's reply may take (connecting to a
  // peer that does not answer takes several attempts).
  explicit driver_session(std::chrono::milliseconds reply_timeout = std::chrono::seconds(10));
  // Stops the exchange thread, then removes every driver: a peer the test
  // declared before the session outlives the scans that talk to it.
  ~driver_session();
  driver_session(const driver_session&) = delete;
  driver_session& operator=(const driver_session&) = delete;

  // Commands. `send` numbers the command; `reply` is the next text message
  // ("(no reply)" after the time-out); `ask` is both.
  void send(std::string_view type, std::string_view data);
  std::string reply();
  std::string ask(std::string_view type, std::string_view data);
  int last_id() const noexcept { return last_id_; }
  // {"id":N,"data":true} for the last command.
  std::string true_reply() const;
  // Whether the command was answered with true; a failure shows the reply.
  ::testing::AssertionResult granted(std::string_view type, std::string_view data);

  ::testing::AssertionResult connect(const plc::connection_params& params);
  // A new binding starts a new view of the outputs.
  ::testing::AssertionResult bind(const binding_tables& tables);
  // Tags only, for `loopback_host`, id 1, version 1.
  ::testing::AssertionResult bind(const std::vector<std::uint64_t>& inputs, const std::vector<std::uint64_t>& outputs);
  ::testing::AssertionResult status(std::string_view host = loopback_host);

  // The driver the command server made for `host` (found under the
  // registry's lock); throws when there is none.
  template <class Driver>
  Driver& driver(std::string_view host = loopback_host) {
    return dynamic_cast<Driver&>(registered(host));
  }

  // Signal buffer. `outputs_seen` runs one output exchange and folds the
  // records of driver `id` into the view; `eventually_seen` repeats that
  // until the view is `expected`.
  const std::vector<std::int32_t>& outputs_seen(std::int32_t id = 1);
  bool eventually_seen(const std::vector<std::int32_t>& expected,
                       std::chrono::milliseconds timeout = std::chrono::seconds(5), std::int32_t id = 1);
  const std::vector<std::int32_t>& view() const noexcept { return view_; }
  // Delivers one input record.
  bool deliver(const pair_list& pairs, std::int32_t id = 1, std::uint32_t version = 1);
  page_player& page() noexcept { return player_; }

 private:
  static plc::driver_base& registered(std::string_view host);

  std::chrono::milliseconds reply_timeout_;
  server_fixture server_;
  ws_client page_ws_;
  int last_id_ = 0;
  std::vector<std::uint32_t> words_;
  page_player player_;
  std::vector<std::int32_t> view_;
  std::atomic<bool> shutdown_{false};
  std::thread exchange_;
};

}  // namespace kvt::test
