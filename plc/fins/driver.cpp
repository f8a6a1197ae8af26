#include "plc/fins/driver.hpp"

#include <cstring>
#include <span>

#include "plc/connection_params.hpp"
#include "plc/fins/tag.hpp"
#include "plc/fins/value_codec.hpp"
#include "plc/scan_pacing.hpp"

namespace kvt::plc::fins {

namespace {

constexpr std::uint32_t error_limit = 1;

// Writes one input; code::ok for the types the driver does not carry.
result_code write_input(client& c, std::uint64_t tag, std::int32_t slot) {
  const std::uint32_t type = tag_type(tag);
  if (!carried(type)) return code::ok;
  char address[address_capacity];
  format_address(tag, type == value_type::boolean, address);
  const auto bits = static_cast<std::uint32_t>(slot);
  switch (type) {
    case value_type::boolean: {
      const std::uint8_t b = static_cast<std::uint8_t>(bits);
      return c.write_bits(address, std::span(&b, 1));
    }
    case value_type::u8:
    case value_type::u16:
    case value_type::s16: {
      const std::uint16_t w = type == value_type::u8 ? static_cast<std::uint16_t>(bits & 0xFF)
                                                     : static_cast<std::uint16_t>(bits);
      return c.write_words(address, std::span(&w, 1));
    }
    case value_type::s8: {
      const auto w = static_cast<std::uint16_t>(static_cast<std::int16_t>(static_cast<std::int8_t>(bits & 0xFF)));
      return c.write_words(address, std::span(&w, 1));
    }
    case value_type::u32:
    case value_type::s32: return c.write_dwords(address, std::span(&bits, 1));
    case value_type::real: {
      const auto bytes = words_of_u32(bits);
      return c.write_raw_words(address, bytes);
    }
    default: {  // LREAL: the slot's float widened
      const auto bytes = words_of_double(static_cast<double>(slot_to_float(slot)));
      return c.write_raw_words(address, bytes);
    }
  }
}

}  // namespace

driver::~driver() {
  halt();
  std::lock_guard lock(link_mutex_);
  connected_.store(false);
  client_.reset();
}

std::int32_t driver::protocol() const noexcept { return plc::protocol::fins; }

void driver::configure(const connection_params& params) {
  host_ = params.host;
  port_.store(params.port);
  local_network_.store(params.local_network);
  local_node_.store(params.local_node);
  remote_network_.store(params.remote_network);
  remote_node_.store(params.remote_node);
  scan_rate_.store(params.scan_rate);
}

connection_params driver::parameters() const {
  connection_params p;
  p.protocol = plc::protocol::fins;
  p.host = host_;
  p.port = port_.load();
  p.local_network = local_network_.load();
  p.local_node = local_node_.load();
  p.remote_network = remote_network_.load();
  p.remote_node = remote_node_.load();
  p.scan_rate = scan_rate_.load();
  return p;
}

void driver::set_response_timeout(std::chrono::milliseconds timeout) noexcept {
  timeout_ms_.store(static_cast<std::uint32_t>(timeout.count()));
}

bool driver::connect() {
  halt();  // no scan and no background disconnect may run from here on
  std::lock_guard lock(link_mutex_);
  connected_.store(false);
  client_.reset();

  client_settings settings;
  settings.host = host_;
  settings.port = port_.load();
  settings.nodes.dna = remote_network_.load();
  settings.nodes.da1 = remote_node_.load();
  settings.nodes.sna = local_network_.load();
  settings.nodes.sa1 = local_node_.load();
  settings.error_limit = error_limit;
  settings.timeout_ms = timeout_ms_.load();
  result_code r = code::ok;
  auto c = client::open(settings, r);
  if (c == nullptr || r != code::ok) return false;
  if (c->read_controller_data() != code::ok) return false;
  client_ = std::move(c);
  connected_.store(true);
  start();
  return true;
}

void driver::disconnect() {
  connected_.store(false);
  stop();
  std::lock_guard lock(link_mutex_);
  client_.reset();
}

void driver::scan() {
  client* c = nullptr;
  {
    std::lock_guard lock(link_mutex_);
    c = client_.get();
  }
  if (c == nullptr) return;
  const bool word_runs = word_runs_.load();
  planned_ = false;  // a new connection: the family may differ

  run_scan_loop(
      scan_period_us(scan_rate_.load()),
      [&](const write_batch<void>& batch) {
        // Every input is tried even after a failure; the failures add up.
        result_code failure = code::ok;
        for (std::size_t i = 0; i < batch.size(); ++i)
          failure |= write_input(*c, batch.tags[i], batch.values[i]);
        return failure == code::ok ? phase_result::ok : phase_result::failed;
      },
      [&](read_batch<void>& batch) {
        keep_held_values(batch);
        if (!planned_ || planned_generation_ != batch.generation) {
          read_items_.clear();
          read_slots_.clear();
          for (std::size_t i = 0; i < batch.size(); ++i) {
            const auto kind = read_kind_of(tag_type(batch.tags[i]));
            if (!kind) continue;
            read_item& item = read_items_.emplace_back();
            format_address(batch.tags[i], true, item.address);
            item.kind = *kind;
            read_slots_.push_back(static_cast<std::uint32_t>(i));
          }
          // An address that does not resolve fails the read before anything
          // is sent, every cycle, as it would fail the controller's read.
          if (c->plan(read_items_, word_runs, read_plan_) != code::ok) return phase_result::failed;
          planned_generation_ = batch.generation;
          planned_ = true;
        }
        if (read_items_.empty()) return phase_result::ok;
        if (c->read_planned(read_items_, read_plan_) != code::ok) return phase_result::failed;
        for (std::size_t k = 0; k < read_items_.size(); ++k) {
          const std::uint32_t i = read_slots_[k];
          store_read_value(tag_type(batch.tags[i]), read_items_[k].raw, batch.slots[i]);
        }
        return phase_result::ok;
      });
}

}  // namespace kvt::plc::fins
