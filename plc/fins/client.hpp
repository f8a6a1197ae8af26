// The FINS client: one UDP socket to one controller, the header's node
// addresses and service id, request/response matching, error accounting and
// the services the driver uses. One thread at a time uses a client.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/udp_socket.hpp"
#include "plc/fins/area_table.hpp"
#include "plc/fins/codes.hpp"
#include "plc/fins/frame.hpp"
#include "plc/fins/read_item.hpp"
#include "plc/fins/read_plan.hpp"

namespace kvt::plc::fins {

inline constexpr std::uint16_t default_port = 9600;
inline constexpr std::uint32_t default_timeout_ms = 10'000;
inline constexpr std::size_t max_host_length = 127;
inline constexpr std::size_t max_write_elements = 267;
inline constexpr std::size_t max_read_items = 24;

// The port a client uses for a configured one: outside 1024 to 65534, 9600.
constexpr std::uint16_t effective_port(std::int32_t port) noexcept {
  return port < 1024 || port > 65534 ? default_port : static_cast<std::uint16_t>(port);
}

struct client_settings {
  std::string_view host;
  std::int32_t port = 0;
  node_addresses nodes;
  std::uint32_t error_limit = 1;
  std::uint32_t timeout_ms = default_timeout_ms;
};

class client {
 public:
  // Opens a client: nullptr with no_host for an empty host; otherwise a
  // client, closed and with the socket's set-up code in `result` when the
  // socket could not be made.
  static std::unique_ptr<client> open(const client_settings& settings, result_code& result);

  client(const client&) = delete;
  client& operator=(const client&) = delete;
  ~client() = default;

  bool is_open() const noexcept { return socket_.is_open(); }
  void close() noexcept { socket_.close(); }

  // Reads the controller's model and sets the family from it.
  result_code read_controller_data();
  std::string_view model() const noexcept { return model_; }
  fins::family family() const noexcept { return family_; }

  result_code write_bits(std::string_view address, std::span<const std::uint8_t> bits);
  result_code write_words(std::string_view address, std::span<const std::uint16_t> words);
  result_code write_dwords(std::string_view address, std::span<const std::uint32_t> values);
  // Bytes sent unchanged, two per word.
  result_code write_raw_words(std::string_view address, std::span<const std::uint8_t> bytes);
  // Reads every item (24 per request) and fills its `raw`.
  result_code read_multiple(std::span<read_item> items);
  // Plans reading `items` for this controller's family (see plan_reads).
  result_code plan(std::span<const read_item> items, bool ranges, read_plan& plan) const;
  // Reads `items` as `plan`, made for them, says and fills each `raw`.
  result_code read_planned(std::span<read_item> items, read_plan& plan);
  // Reads `count` words from `start` (word access) with memory area reads
  // of up to max_range_words words each.
  result_code read_words(const fins_address& start, std::size_t count, std::span<std::uint16_t> out);

  result_code last_error() const noexcept { return last_error_; }
  bool last_error_changed() const noexcept { return last_error_changed_; }
  std::uint8_t next_sid() const noexcept { return sid_; }

 private:
  struct passkey {
    explicit passkey() = default;
  };

 public:
  explicit client(passkey) {}

 private:

  // What a response's length after the header must be.
  struct length_rule {
    std::size_t bytes = 0;
    bool at_least = false;  // `bytes` or more, else exactly `bytes`
  };

  // Sends the request built in request_ with `parameter_length` bytes and
  // waits for its response. When the end code is 0 and `expected` is set,
  // the response's length after the header must follow it.
  result_code exchange(std::uint8_t main_code, std::uint8_t sub_code, std::size_t parameter_length,
                       std::optional<length_rule> expected);
  result_code transact(std::uint8_t main_code, std::uint8_t sub_code, std::size_t parameter_length,
                       std::optional<length_rule> expected);
  result_code account(result_code result) noexcept;
  // Writes `values` values of `elements_per_value` elements each, in
  // requests of at most 267 elements at successive addresses; `fill` puts
  // values [first, first + n) as bytes into data_scratch_ and returns the
  // byte count.
  template <class Fill>
  result_code write_values(std::string_view address, access acc, std::size_t values, std::size_t elements_per_value,
                           Fill&& fill);
  std::span<std::uint8_t> parameters() noexcept {
    return std::span<std::uint8_t>(request_).subspan(header_size);
  }
  std::span<const std::uint8_t> response_data() const noexcept {
    return std::span<const std::uint8_t>(response_).subspan(header_size + 2, response_length_ - header_size - 2);
  }

  char host_[max_host_length + 1] = {};
  std::optional<std::uint32_t> host_address_;
  std::uint16_t port_ = default_port;
  platform::udp_socket socket_;
  node_addresses nodes_;
  std::uint32_t error_limit_ = 1;
  std::uint32_t failures_ = 0;
  result_code last_error_ = code::ok;
  bool last_error_changed_ = false;
  std::uint8_t sid_ = 0;
  char model_[model_length + 1] = {};
  fins::family family_ = fins::family::unknown;

  // Reused for every exchange: no allocation once the first scan ran.
  std::array<std::uint8_t, header_size + max_parameters> request_{};
  std::array<std::uint8_t, max_datagram> response_{};
  std::size_t response_length_ = 0;
  std::array<std::uint8_t, 2 * max_write_elements> data_scratch_{};
  read_plan multiple_plan_;  // read_multiple's
};

}  // namespace kvt::plc::fins
