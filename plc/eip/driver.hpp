// EtherNet/IP driver: Logix, Micro800 and Omron NJ/NX controllers through
// the EtherNet/IP tag layer. Every bound signal owns one tag, created from
// its name when the page binds it. Each scan writes every input once any
// input has changed and reads every output, starting all of a phase's
// requests before waiting for any, so the tag layer can pack them.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "plc/driver.hpp"
#include "plc/eip/tag_handle.hpp"

namespace kvt::plc::eip {

// How long a binding waits for its tags; how long a scan phase waits.
inline constexpr std::uint64_t binding_budget_us = 5'000'000;
inline constexpr std::uint64_t phase_budget_us = 1'000'000;

class driver final : public plc::driver<handle_ptr> {
 public:
  driver() = default;
  ~driver() override;

  std::int32_t protocol() const noexcept override;
  const std::string& host() const noexcept override { return host_; }
  void configure(const connection_params& params) override;
  connection_params parameters() const override;
  bool connected() const noexcept override { return connected_.load() != 0; }
  // Starts the scan; the tag layer opens the session when tags are used.
  bool connect() override;
  void disconnect() override;
  void scan() override;

  // Starts creating the tag for a signal bound by name (the command thread,
  // while it rebuilds a table); the binding then waits for the table's tags
  // with `wait_for_tags`.
  handle_ptr create_tag(std::uint64_t tag, std::string_view name) const;
  bool wait_for_tags(std::span<const handle_ptr> tags) const noexcept;

 private:
  // Written by `configure` on the command thread, which alone reads them.
  std::string host_;
  std::string type_;
  std::string path_;
  std::atomic<double> scan_rate_{0.05};
  std::atomic<std::int32_t> connected_{0};

  // Scan thread only: every input tag of the table, kept between cycles.
  std::vector<handle_ptr> all_inputs_;
};

}  // namespace kvt::plc::eip
