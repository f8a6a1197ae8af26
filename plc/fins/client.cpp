#include "plc/fins/client.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "plc/fins/address.hpp"

namespace kvt::plc::fins {

namespace {

// Datagrams from anyone but the controller are dropped unseen; this many in
// one exchange and it gives up, so a flood cannot hold the scan forever.
constexpr int max_foreign_datagrams = 16;

bool is_trailing_space(char c) noexcept { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\0'; }

}  // namespace

std::unique_ptr<client> client::open(const client_settings& settings, result_code& result) {
  if (settings.host.empty()) {
    result = code::no_host;
    return nullptr;
  }
  auto c = std::make_unique<client>(passkey{});
  const std::size_t n = std::min(settings.host.size(), max_host_length);
  std::memcpy(c->host_, settings.host.data(), n);
  c->host_[n] = '\0';
  c->host_address_ = platform::parse_ipv4(std::string_view(c->host_, n));
  c->port_ = effective_port(settings.port);
  c->nodes_ = settings.nodes;
  c->nodes_.da2 = c->nodes_.sa2 = 0;
  c->error_limit_ = settings.error_limit;
  const int error = c->socket_.open(settings.timeout_ms);
  result = error == 0 ? code::ok : socket_setup_code(error);
  return c;
}

result_code client::exchange(std::uint8_t main_code, std::uint8_t sub_code, std::size_t parameter_length,
                             std::optional<length_rule> expected) {
  if (!socket_.is_open()) return code::not_connected;
  if (parameter_length > max_parameters) return code::frame_too_long;
  if (!host_address_) {
    socket_.close();
    return code::host_not_resolvable;
  }
  const platform::ipv4_endpoint controller{*host_address_, port_};

  auto header = std::span<std::uint8_t, header_size>(request_.data(), header_size);
  write_header(header, nodes_, sid_++, main_code, sub_code);

  // A late answer to an earlier request that timed out would otherwise be
  // taken for this one's and fail it.
  socket_.discard_pending();
  const std::size_t length = header_size + parameter_length;
  const platform::io_result sent =
      socket_.send_to(controller, std::as_bytes(std::span<const std::uint8_t>(request_.data(), length)));
  if (sent.error != 0) return code::io_failure(sent.error);
  if (sent.bytes != length) return code::short_send;

  for (int foreign = 0;; ++foreign) {
    const platform::io_result got = socket_.receive(std::as_writable_bytes(std::span<std::uint8_t>(response_)));
    if (got.error != 0) return code::io_failure(got.error);
    if (got.sender != controller) {
      if (foreign == max_foreign_datagrams) return code::response_mismatch;
      continue;
    }
    if (got.truncated) return code::bad_response_length;
    response_length_ = got.bytes;
    break;
  }
  const result_code r = check_response(std::span<const std::uint8_t, header_size>(request_.data(), header_size),
                                       std::span<const std::uint8_t>(response_.data(), response_length_));
  if (r != code::ok) return r;
  if (expected) {
    const std::size_t got = response_length_ - header_size;
    if (expected->at_least ? got < expected->bytes : got != expected->bytes) return code::bad_response_length;
  }
  return code::ok;
}

result_code client::account(result_code result) noexcept {
  if (result == code::ok) {
    failures_ = 0;
  } else if (++failures_ > error_limit_) {
    result = code::too_many_errors;
    socket_.close();
    failures_ = 0;
  }
  last_error_changed_ = result != last_error_;
  last_error_ = result;
  return result;
}

result_code client::transact(std::uint8_t main_code, std::uint8_t sub_code, std::size_t parameter_length,
                             std::optional<length_rule> expected) {
  return account(exchange(main_code, sub_code, parameter_length, expected));
}

result_code client::read_controller_data() {
  const result_code r =
      transact(command::controller_data_main, command::controller_data_read, 0,
               length_rule{controller_data_minimum_length, true});
  if (r != code::ok) return r;
  const std::span<const std::uint8_t> data = response_data();
  std::size_t n = model_length;
  while (n > 0 && is_trailing_space(static_cast<char>(data[n - 1]))) --n;
  std::memcpy(model_, data.data(), n);
  model_[n] = '\0';
  family_ = family_of_model(std::string_view(model_, n));
  return code::ok;
}

template <class Fill>
result_code client::write_values(std::string_view address, access acc, std::size_t values,
                                 std::size_t elements_per_value, Fill&& fill) {
  const auto parsed = parse_address(address);
  if (!parsed) return code::bad_write_address;
  if (values == 0) return code::no_data;
  const std::size_t values_per_request = max_write_elements / elements_per_value;
  for (std::size_t first = 0; first < values; first += values_per_request) {
    const std::size_t n = std::min(values_per_request, values - first);
    // Successive requests continue where the last one ended: bits run on
    // into the following words.
    const std::size_t offset = first * elements_per_value;
    std::uint32_t word = parsed->word;
    std::uint32_t bit = parsed->bit;
    if (acc == access::bit) {
      word += static_cast<std::uint32_t>((bit + offset) / 16);
      bit = static_cast<std::uint32_t>((bit + offset) % 16);
    } else {
      word += static_cast<std::uint32_t>(offset);
    }
    const auto resolved =
        resolve(family_, acc, service::write, parsed->area_name(), word, static_cast<std::uint8_t>(bit));
    if (!resolved) return code::no_write_area;
    const std::size_t bytes = fill(first, n, data_scratch_.data());
    const std::size_t length =
        build_memory_write(parameters(), *resolved, static_cast<std::uint16_t>(n * elements_per_value),
                           std::span<const std::uint8_t>(data_scratch_.data(), bytes));
    const result_code r = transact(command::memory_area_main, command::memory_area_write, length, length_rule{2});
    if (r != code::ok) return r;
  }
  return code::ok;
}

result_code client::write_bits(std::string_view address, std::span<const std::uint8_t> bits) {
  return write_values(address, access::bit, bits.size(), 1, [&](std::size_t first, std::size_t n, std::uint8_t* out) {
    std::memcpy(out, bits.data() + first, n);
    return n;
  });
}

result_code client::write_words(std::string_view address, std::span<const std::uint16_t> words) {
  return write_values(address, access::word, words.size(), 1,
                      [&](std::size_t first, std::size_t n, std::uint8_t* out) {
                        for (std::size_t i = 0; i < n; ++i) {
                          out[2 * i] = static_cast<std::uint8_t>(words[first + i] >> 8);
                          out[2 * i + 1] = static_cast<std::uint8_t>(words[first + i]);
                        }
                        return 2 * n;
                      });
}

result_code client::write_dwords(std::string_view address, std::span<const std::uint32_t> values) {
  return write_values(address, access::word, values.size(), 2,
                      [&](std::size_t first, std::size_t n, std::uint8_t* out) {
                        for (std::size_t i = 0; i < n; ++i) {
                          const std::uint32_t v = values[first + i];  // low word first, each high byte first
                          out[4 * i] = static_cast<std::uint8_t>(v >> 8);
                          out[4 * i + 1] = static_cast<std::uint8_t>(v);
                          out[4 * i + 2] = static_cast<std::uint8_t>(v >> 24);
                          out[4 * i + 3] = static_cast<std::uint8_t>(v >> 16);
                        }
                        return 4 * n;
                      });
}

result_code client::write_raw_words(std::string_view address, std::span<const std::uint8_t> bytes) {
  return write_values(address, access::word, bytes.size() / 2, 1,
                      [&](std::size_t first, std::size_t n, std::uint8_t* out) {
                        std::memcpy(out, bytes.data() + 2 * first, 2 * n);
                        return 2 * n;
                      });
}

result_code client::read_multiple(std::span<read_item> items) {
  // Every address is checked before anything is sent.
  const result_code r = plan(items, false, multiple_plan_);
  if (r != code::ok) return r;
  return read_planned(items, multiple_plan_);
}

result_code client::plan(std::span<const read_item> items, bool ranges, read_plan& p) const {
  return plan_reads(items, family_, ranges, p);
}

result_code client::read_words(const fins_address& start, std::size_t count, std::span<std::uint16_t> out) {
  for (std::size_t first = 0; first < count; first += max_range_words) {
    const std::size_t n = std::min(max_range_words, count - first);
    fins_address at = start;
    at.word = static_cast<std::uint16_t>(start.word + first);
    const std::size_t length = build_memory_read(parameters(), at, static_cast<std::uint16_t>(n));
    const result_code r =
        transact(command::memory_area_main, command::memory_area_read, length, length_rule{2 + 2 * n});
    if (r != code::ok) return r;
    const std::span<const std::uint8_t> data = response_data();
    for (std::size_t i = 0; i < n; ++i)
      out[first + i] = static_cast<std::uint16_t>(data[2 * i] << 8 | data[2 * i + 1]);
  }
  return code::ok;
}

result_code client::read_planned(std::span<read_item> items, read_plan& p) {
  for (const word_range& range : p.ranges) {
    const result_code r = read_words(range.start, range.count, std::span(p.words).subspan(range.offset, range.count));
    if (r != code::ok) return r;
  }
  for (const ranged_item& r : p.ranged) items[r.item].raw = raw_from_words(p.words, r, items[r.item].kind);

  const std::span<const std::uint32_t> singles = p.singles;
  for (std::size_t first = 0; first < singles.size(); first += max_read_items) {
    const std::size_t n = std::min(max_read_items, singles.size() - first);
    std::size_t length = 0;
    std::size_t expected = 2;
    for (const std::uint32_t i : singles.subspan(first, n)) {
      length = append_read_elements(parameters(), length, p.resolved[i], items[i].kind);
      expected += response_bytes_of(items[i].kind);
    }
    const result_code r = transact(command::memory_area_main, command::multiple_read, length, length_rule{expected});
    if (r != code::ok) return r;
    const std::span<const std::uint8_t> data = response_data();
    std::size_t pos = 0;
    for (const std::uint32_t i : singles.subspan(first, n)) {
      items[i].raw = decode_read_item(data, pos, items[i].kind);
      pos += response_bytes_of(items[i].kind);
    }
  }
  return code::ok;
}

}  // namespace kvt::plc::fins
