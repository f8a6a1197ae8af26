#include "plc/eip/driver.hpp"

#include "plc/connection_params.hpp"
#include "plc/eip/readiness.hpp"
#include "plc/eip/tag_attributes.hpp"
#include "plc/eip/tags/plc_tag.hpp"
#include "plc/value_type.hpp"

namespace kvt::plc::eip {

namespace {

// Stores a slot's value at offset 0 of the tag's buffer with the setter of
// its type; types the driver does not carry are left alone.
void set_value(std::int32_t tag, std::uint32_t type, std::int32_t slot) {
  const auto bits = static_cast<std::uint32_t>(slot);
  switch (type) {
    case value_type::boolean: plc_tag_set_bit(tag, 0, static_cast<int>(bits & 0xFFu)); break;
    case value_type::u8: plc_tag_set_uint8(tag, 0, static_cast<std::uint8_t>(bits)); break;
    case value_type::u16: plc_tag_set_uint16(tag, 0, static_cast<std::uint16_t>(bits)); break;
    case value_type::u32: plc_tag_set_uint32(tag, 0, bits); break;
    case value_type::s8: plc_tag_set_int8(tag, 0, static_cast<std::int8_t>(bits)); break;
    case value_type::s16: plc_tag_set_int16(tag, 0, static_cast<std::int16_t>(bits)); break;
    case value_type::s32: plc_tag_set_int32(tag, 0, slot); break;
    case value_type::real: plc_tag_set_float32(tag, 0, slot_to_float(slot)); break;
    case value_type::lreal: plc_tag_set_float64(tag, 0, static_cast<double>(slot_to_float(slot))); break;
    default: break;
  }
}

// The value at offset 0 of the tag's buffer, with the getter of its type,
// as the slot carries it (LREAL narrowed to a float).
std::int32_t get_value(std::int32_t tag, std::uint32_t type, std::int32_t held) {
  switch (type) {
    case value_type::boolean: return plc_tag_get_bit(tag, 0) > 0 ? 1 : 0;
    case value_type::u8: return plc_tag_get_uint8(tag, 0);
    case value_type::u16: return plc_tag_get_uint16(tag, 0);
    case value_type::u32: return static_cast<std::int32_t>(plc_tag_get_uint32(tag, 0));
    case value_type::s8: return plc_tag_get_int8(tag, 0);
    case value_type::s16: return plc_tag_get_int16(tag, 0);
    case value_type::s32: return plc_tag_get_int32(tag, 0);
    case value_type::real: return float_to_slot(plc_tag_get_float32(tag, 0));
    case value_type::lreal: return float_to_slot(static_cast<float>(plc_tag_get_float64(tag, 0)));
    default: return held;
  }
}

bool carried(std::uint32_t type) noexcept { return type >= value_type::boolean && type <= value_type::lreal; }

}  // namespace

driver::~driver() {
  halt();
  connected_.store(0);
}

std::int32_t driver::protocol() const noexcept { return plc::protocol::eip; }

void driver::configure(const connection_params& params) {
  host_ = params.host;
  type_ = params.type;
  path_ = params.path;
  scan_rate_.store(params.scan_rate);
}

connection_params driver::parameters() const {
  connection_params p;
  p.protocol = plc::protocol::eip;
  p.host = host_;
  p.type = type_;
  p.path = path_;
  p.scan_rate = scan_rate_.load();
  return p;
}

bool driver::connect() {
  connected_.store(1);
  start();
  return true;
}

void driver::disconnect() {
  stop();
  connected_.store(0);
}

handle_ptr driver::create_tag(std::uint64_t tag, std::string_view name) const {
  const std::string attributes = tag_attributes(host_, path_, type_, value_size(tag_type(tag)), 1, name);
  return std::make_shared<libplctag_handle>(plc_tag_create(attributes.c_str(), 0));
}

bool driver::wait_for_tags(std::span<const handle_ptr> tags) const noexcept {
  return wait_until_ready(tags, binding_budget_us, timer());
}

void driver::scan() {
  run_scan_loop(
      scan_period_us(scan_rate_.load()),
      [&](const write_batch<handle_ptr>& batch) {
        for (std::size_t i = 0; i < batch.size(); ++i) {
          const std::uint32_t type = tag_type(batch.tags[i]);
          if (carried(type) && batch.handles[i]) set_value(batch.handles[i]->id(), type, batch.values[i]);
        }
        // Every input tag is written, not only the changed ones.
        {
          auto& in = inputs();
          std::lock_guard lock(in.mutex);
          if (in.generation != batch.generation) return phase_result::ok;  // rebound meanwhile
          all_inputs_.assign(in.handles.begin(), in.handles.end());
          for (const handle_ptr& h : all_inputs_)
            if (h) plc_tag_write(h->id(), 0);
        }
        return wait_until_ready(all_inputs_, phase_budget_us, timer()) ? phase_result::ok : phase_result::failed;
      },
      [&](read_batch<handle_ptr>& batch) {
        for (const handle_ptr& h : batch.handles)
          if (h) plc_tag_read(h->id(), 0);
        if (!wait_until_ready(batch.handles, phase_budget_us, timer())) return phase_result::failed;
        for (std::size_t i = 0; i < batch.size(); ++i)
          batch.slots[i] = get_value(batch.handles[i]->id(), tag_type(batch.tags[i]), batch.slots[i]);
        return phase_result::ok;
      });
}

}  // namespace kvt::plc::eip
