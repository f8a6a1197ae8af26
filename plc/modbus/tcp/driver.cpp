#include "plc/modbus/tcp/driver.hpp"

#include <modbus.h>

#include <cerrno>
#include <cstdio>
#include <span>
#include <string>

#include "plc/connection_params.hpp"
#include "plc/modbus/tcp/requests.hpp"
#include "plc/modbus/tcp/tag.hpp"
#include "plc/modbus/tcp/value_codec.hpp"

namespace kvt::plc::modbus::tcp {

namespace {

constexpr std::uint32_t response_timeout_s = 1;

const char* area_name(std::uint32_t a) noexcept {
  switch (a) {
    case area::coils: return "coils";
    case area::discrete_inputs: return "discrete inputs";
    case area::holding_registers: return "holding registers";
    default: return "input registers";
  }
}

}  // namespace

driver::~driver() {
  halt();
  std::lock_guard lock(link_mutex_);
  connected_.store(0);
  close_link();
}

std::int32_t driver::protocol() const noexcept { return plc::protocol::modbus_tcp; }

void driver::configure(const connection_params& params) {
  host_ = params.host;
  type_ = params.type;
  port_.store(params.port);
  unit_id_.store(params.unit_id);
  flags_.store(params.flags);
  scan_rate_.store(params.scan_rate);
}

connection_params driver::parameters() const {
  connection_params p;
  p.protocol = plc::protocol::modbus_tcp;
  p.host = host_;
  p.type = type_;
  p.port = port_.load();
  p.unit_id = unit_id_.load();
  p.flags = flags_.load();
  p.scan_rate = scan_rate_.load();
  return p;
}

bool driver::connect() {
  halt();  // no scan and no background disconnect may run from here on
  std::lock_guard lock(link_mutex_);
  connected_.store(0);
  close_link();

  // Host names as well as addresses: the context resolves the node itself.
  const std::string service = std::to_string(port_.load());
  modbus_t* ctx = modbus_new_tcp_pi(host_.c_str(), service.c_str());
  if (ctx == nullptr) return false;
  if (modbus_set_slave(ctx, unit_id_.load()) == -1 || modbus_connect(ctx) == -1) {
    modbus_close(ctx);
    modbus_free(ctx);
    return false;
  }
  modbus_set_response_timeout(ctx, response_timeout_s, 0);
  context_ = ctx;
  peer_ = host_ + ":" + service;
  connected_.store(1);
  start();
  return true;
}

void driver::disconnect() {
  connected_.store(0);
  stop();
  std::lock_guard lock(link_mutex_);
  close_link();
}

void driver::close_link() {
  if (context_ == nullptr) return;
  modbus_close(context_);
  modbus_free(context_);
  context_ = nullptr;
}

void driver::scan() {
  modbus_t* ctx = nullptr;
  {
    std::lock_guard lock(link_mutex_);
    ctx = context_;
  }
  if (ctx == nullptr) return;
  const std::int32_t flags = flags_.load();
  const bool grouping = grouping_.load();
  // A new connection: plan afresh, and give refused ranges another chance.
  read_plan_.valid = false;
  write_plan_.valid = false;
  refused_.clear();
  told_refusal_ = false;
  run_.reserve(max_write_bits);

  // A failed request ends the phase at once: on a broken link every further
  // request would wait out its own time-out first.
  run_scan_loop(
      scan_period_us(scan_rate_.load()),
      [&](const write_batch<void>& batch) {
        if (grouping) return write_grouped(ctx, flags, batch) ? phase_result::ok : phase_result::failed;
        for (std::size_t i = 0; i < batch.size(); ++i)
          if (!write_one(ctx, flags, batch.tags[i], batch.values[i])) return phase_result::failed;
        return phase_result::ok;
      },
      [&](read_batch<void>& batch) {
        if (grouping) return read_grouped(ctx, flags, batch) ? phase_result::ok : phase_result::failed;
        for (std::size_t i = 0; i < batch.size(); ++i)
          if (!read_one(ctx, flags, batch.tags[i], batch.slots[i])) return phase_result::failed;
        return phase_result::ok;
      });
}

bool driver::write_grouped(modbus_t* ctx, std::int32_t flags, const write_batch<void>& batch) {
  write_plan& plan = write_plan_;
  if (!plan.valid || plan.generation != batch.generation) {
    {
      auto& table = inputs();
      std::lock_guard lock(table.mutex);
      plan.valid = table.generation == batch.generation;
      if (plan.valid) input_tags_.assign(table.tags.begin(), table.tags.end());
    }
    if (!plan.valid) {
      // Rebound since the batch was taken: nothing to plan it with, so it
      // goes one input per request.
      for (std::size_t i = 0; i < batch.size(); ++i)
        if (!write_one(ctx, flags, batch.tags[i], batch.values[i])) return false;
      return true;
    }
    plan_writes(input_tags_, plan);
    plan.generation = batch.generation;
  }

  for (std::size_t k = 0; k < batch.size(); ++k) plan.dirty_at[batch.indices[k]] = static_cast<std::int32_t>(k);
  bool ok = true;
  // Inputs that go alone, in index order.
  for (std::size_t k = 0; ok && k < batch.size(); ++k)
    if (plan.grouped[batch.indices[k]] == 0) ok = write_one(ctx, flags, batch.tags[k], batch.values[k]);
  // The others in runs of consecutive addresses.
  run_.clear();
  address_range run;
  for (std::size_t o = 0; ok && o < plan.order.size(); ++o) {
    const std::int32_t k = plan.dirty_at[plan.order[o]];
    if (k < 0) continue;
    const tag_fields f = decode_tag(batch.tags[static_cast<std::size_t>(k)]);
    const std::uint32_t n = extent(f);
    const std::uint32_t limit = f.area == area::coils ? max_write_bits : max_write_registers;
    if (!run_.empty() && f.area == run.area && f.address == run.end && run.end + n - run.first <= limit) {
      run_.push_back(static_cast<std::uint32_t>(k));
      run.end += n;
      continue;
    }
    if (!run_.empty()) ok = write_run(ctx, flags, batch, run_.size());
    run_.clear();
    run_.push_back(static_cast<std::uint32_t>(k));
    run = {f.area, f.address, f.address + n};
  }
  if (ok && !run_.empty()) ok = write_run(ctx, flags, batch, run_.size());
  for (std::size_t k = 0; k < batch.size(); ++k) plan.dirty_at[batch.indices[k]] = -1;
  return ok;
}

bool driver::write_run(modbus_t* ctx, std::int32_t flags, const write_batch<void>& batch, std::size_t n) {
  const auto members = std::span<const std::uint32_t>(run_.data(), n);
  if (n > 1) {
    const tag_fields head = decode_tag(batch.tags[members[0]]);
    const bool high_word_first = (flags & flag::high_word_first) != 0;
    address_range range{head.area, head.address, head.address};
    for (const std::uint32_t k : members) {
      const tag_fields f = decode_tag(batch.tags[k]);
      const auto value = static_cast<std::uint32_t>(batch.values[k]);
      const int width = bit_width(f.type);
      if (head.area == area::coils)
        bits_of_value(value, width, bits_ + (range.end - range.first));
      else
        registers_of_value(value, width, high_word_first, registers_ + (range.end - range.first));
      range.end += extent(f);
    }
    if (!refused_.covers(range)) {
      const std::uint32_t count = range.end - range.first;
      if (head.area == area::coils ? write_coils(ctx, range.first, count, bits_)
                                   : write_registers(ctx, range.first, count, registers_))
        return true;
      if (!refused()) return false;
      refuse(range, "write");
    }
  }
  for (const std::uint32_t k : members)
    if (!write_one(ctx, flags, batch.tags[k], batch.values[k])) return false;
  return true;
}

bool driver::read_grouped(modbus_t* ctx, std::int32_t flags, read_batch<void>& batch) {
  if (!read_plan_.valid || read_plan_.generation != batch.generation) {
    plan_reads(batch.tags, refused_, read_plan_);
    read_plan_.generation = batch.generation;
    read_plan_.valid = true;
  }
  const bool high_word_first = (flags & flag::high_word_first) != 0;
  for (read_request& r : read_plan_.requests) {
    const auto members = std::span<const std::uint32_t>(read_plan_.members).subspan(r.first, r.members);
    if (!r.single) {
      const bool bits = is_bit_area(r.range.area);
      const std::uint32_t count = r.range.end - r.range.first;
      if (bits ? read_bits(ctx, r.range.area, r.range.first, count, bits_)
               : read_registers(ctx, r.range.area, r.range.first, count, registers_)) {
        for (const std::uint32_t i : members) {
          const tag_fields f = decode_tag(batch.tags[i]);
          const std::uint32_t at = f.address - r.range.first;
          const int width = bit_width(f.type);
          batch.slots[i] = static_cast<std::int32_t>(
              bits ? value_of_bits(bits_ + at, width, f.bit)
                   : value_of_registers(registers_ + at, width, f.bit, high_word_first));
        }
        continue;
      }
      if (!refused()) return false;
      r.single = true;
      refuse(r.range, "read");
    }
    for (const std::uint32_t i : members)
      if (!read_one(ctx, flags, batch.tags[i], batch.slots[i])) return false;
  }
  return true;
}

void driver::refuse(const address_range& range, const char* what) {
  const int error = errno;
  refused_.add(range);
  if (told_refusal_) return;
  told_refusal_ = true;
  std::fprintf(stderr,
               "modbus %s: the server refused to %s %u %s from address %u in one request (%s); "
               "signals there now go one request each\n",
               peer_.c_str(), what, range.end - range.first, area_name(range.area), range.first,
               modbus_strerror(error));
}

}  // namespace kvt::plc::modbus::tcp
