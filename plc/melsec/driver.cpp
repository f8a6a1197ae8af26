#include "plc/melsec/driver.hpp"

#include "plc/connection_params.hpp"
#include "plc/melsec/mc/component.hpp"
#include "plc/value_type.hpp"

namespace kvt::plc::melsec {

namespace {

bool failed(std::int32_t hresult) noexcept { return hresult < 0; }

bool two_words(std::uint32_t type) noexcept {
  return type == value_type::u32 || type == value_type::s32 || type == value_type::real;
}

// Adds an input's entries: a bit as 1 << its bit number when the slot is
// set, 32-bit values as two words (low first), the rest as the slot's low
// 16 bits.
std::int32_t add_input(device_list& list, std::uint64_t tag, std::int32_t slot) {
  const std::uint32_t code = tag_device_code(tag);
  const std::uint32_t number = tag_device_number(tag);
  const std::uint32_t type = tag_type(tag);
  const auto bits = static_cast<std::uint32_t>(slot);
  if (type == value_type::boolean)
    return list.add(code, number, slot != 0 ? static_cast<std::uint16_t>(1u << tag_bit(tag)) : std::uint16_t{0});
  if (two_words(type)) {
    const std::int32_t low = list.add(code, number, static_cast<std::uint16_t>(bits));
    return low + list.add(code, number + 1, static_cast<std::uint16_t>(bits >> 16));
  }
  return list.add(code, number, static_cast<std::uint16_t>(bits));
}

// Adds an output's entries (values 0), as many as its input would take.
std::int32_t add_output(device_list& list, std::uint64_t tag) {
  const std::uint32_t code = tag_device_code(tag);
  const std::uint32_t number = tag_device_number(tag);
  const std::int32_t first = list.add(code, number, 0);
  return two_words(tag_type(tag)) ? first + list.add(code, number + 1, 0) : first;
}

// Puts an output's value(s), read from `list` at `at`, into its slot; only
// the type's own bytes change. Returns the entries consumed.
std::size_t store_output(const device_list& list, std::size_t at, std::uint64_t tag, std::int32_t& slot) {
  if (device_name(tag_device_code(tag)).empty()) return 0;
  const std::uint32_t type = tag_type(tag);
  auto v = static_cast<std::uint32_t>(slot);
  const std::uint32_t first = list.value(at);
  switch (type) {
    case value_type::boolean: v = (v & ~0xFFu) | ((first >> tag_bit(tag)) & 1u); break;
    case value_type::u8:
    case value_type::s8: v = (v & ~0xFFu) | (first & 0xFFu); break;
    case value_type::u16:
    case value_type::s16: v = (v & ~0xFFFFu) | first; break;
    case value_type::u32:
    case value_type::s32:
    case value_type::real:
      slot = static_cast<std::int32_t>(static_cast<std::uint32_t>(list.value(at + 1)) << 16 | first);
      return 2;
    default: return 1;  // not carried: the slot keeps its value
  }
  slot = static_cast<std::int32_t>(v);
  return 1;
}

}  // namespace

driver::driver() = default;

driver::~driver() {
  halt();
  disconnect();
}

std::int32_t driver::protocol() const noexcept { return plc::protocol::melsec; }

void driver::configure(const connection_params& params) {
  host_ = params.host;
  station_.store(params.unit_id);
  scan_rate_.store(params.scan_rate);
  std::lock_guard lock(component_mutex_);
  if (component_ == nullptr) component_ = std::make_shared<mc::component>(host_);
}

connection_params driver::parameters() const {
  connection_params p;
  p.protocol = plc::protocol::melsec;
  p.host = host_;
  p.unit_id = station_.load();
  p.scan_rate = scan_rate_.load();
  return p;
}

bool driver::connect() {
  if (connected()) disconnect();
  halt();  // no scan and no background disconnect may run from here on
  std::shared_ptr<mc::component> c;
  {
    std::lock_guard lock(component_mutex_);
    c = component_;
  }
  if (c == nullptr) return false;
  std::int32_t result = 0;
  if (failed(c->set_station(station_.load())) || failed(c->open(result))) {
    connected_.store(false);
    return false;
  }
  connected_.store(true);
  start();
  return true;
}

void driver::disconnect() {
  connected_.store(false);
  stop();
  std::shared_ptr<mc::component> c;
  {
    std::lock_guard lock(component_mutex_);
    c = component_;
  }
  std::int32_t result = 0;
  if (c != nullptr) c->close(result);
}

void driver::scan() {
  std::shared_ptr<mc::component> c;
  {
    std::lock_guard lock(component_mutex_);
    c = component_;
  }
  if (c == nullptr) return;
  std::int32_t result = 0;
  run_scan_loop(
      scan_period_us(scan_rate_.load()),
      [&](const write_batch<void>& batch) {
        list_.clear();
        std::int32_t entries = 0;
        for (std::size_t i = 0; i < batch.size(); ++i) entries += add_input(list_, batch.tags[i], batch.values[i]);
        return failed(c->write_device_random(list_.text(), entries, list_.values(), result)) ? phase_result::failed
                                                                                              : phase_result::ok;
      },
      [&](read_batch<void>& batch) {
        if (batch.tags.empty()) return phase_result::ok;
        keep_held_values(batch);
        list_.clear();
        std::int32_t entries = 0;
        for (const std::uint64_t tag : batch.tags) entries += add_output(list_, tag);
        if (failed(c->read_device_random(list_.text(), entries, list_.values(), result))) return phase_result::failed;
        std::size_t at = 0;
        for (std::size_t i = 0; i < batch.size(); ++i) at += store_output(list_, at, batch.tags[i], batch.slots[i]);
        return phase_result::ok;
      });
}

}  // namespace kvt::plc::melsec
