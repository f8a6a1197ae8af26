#include "plc/modbus/tcp/request_plan.hpp"

#include <algorithm>

#include "plc/modbus/tcp/tag.hpp"
#include "plc/modbus/tcp/value_codec.hpp"

namespace kvt::plc::modbus::tcp {

namespace {

struct placed {
  address_range range;
  std::uint32_t index = 0;
};

bool by_address(const placed& a, const placed& b) noexcept {
  if (a.range.area != b.range.area) return a.range.area < b.range.area;
  if (a.range.first != b.range.first) return a.range.first < b.range.first;
  return a.index < b.index;
}

placed place(std::uint64_t tag, std::uint32_t index) noexcept {
  const tag_fields f = decode_tag(tag);
  return {{f.area, f.address, f.address + extent(f)}, index};
}

}  // namespace

void plan_reads(std::span<const std::uint64_t> tags, const refusals& refused, read_plan& plan) {
  plan.requests.clear();
  plan.members.clear();
  std::vector<placed> signals;
  signals.reserve(tags.size());
  for (std::uint32_t i = 0; i < tags.size(); ++i) {
    const placed p = place(tags[i], i);
    if (p.range.end > p.range.first) signals.push_back(p);
  }
  std::sort(signals.begin(), signals.end(), by_address);

  read_request* open = nullptr;
  for (const placed& s : signals) {
    const std::uint32_t limit = is_bit_area(s.range.area) ? max_read_bits : max_read_registers;
    const bool joins = open != nullptr && open->range.area == s.range.area && s.range.first <= open->range.end &&
                       std::max(open->range.end, s.range.end) - open->range.first <= limit;
    if (joins) {
      open->range.end = std::max(open->range.end, s.range.end);
      ++open->members;
    } else {
      open = &plan.requests.emplace_back(read_request{s.range, static_cast<std::uint32_t>(plan.members.size()), 1});
    }
    plan.members.push_back(s.index);
  }
  for (read_request& r : plan.requests) r.single = r.members == 1 || refused.covers(r.range);
}

void plan_writes(std::span<const std::uint64_t> tags, write_plan& plan) {
  plan.grouped.assign(tags.size(), 0);
  plan.order.clear();
  plan.dirty_at.assign(tags.size(), -1);

  // Every input that is written at all, by address.
  std::vector<placed> signals;
  signals.reserve(tags.size());
  for (std::uint32_t i = 0; i < tags.size(); ++i) {
    const placed p = place(tags[i], i);
    const bool writable = p.range.area == area::coils || p.range.area == area::holding_registers;
    if (writable && p.range.end > p.range.first) signals.push_back(p);
  }
  std::sort(signals.begin(), signals.end(), by_address);

  // Groups of inputs whose ranges overlap each other stay out, whole.
  for (std::size_t first = 0; first < signals.size();) {
    std::size_t last = first + 1;
    std::uint32_t end = signals[first].range.end;
    while (last < signals.size() && signals[last].range.area == signals[first].range.area &&
           signals[last].range.first < end) {
      end = std::max(end, signals[last].range.end);
      ++last;
    }
    if (last == first + 1) {
      const placed& s = signals[first];
      const tag_fields f = decode_tag(tags[s.index]);
      const bool register_bit = f.area == area::holding_registers && bit_width(f.type) == 1;
      if (!register_bit) {
        plan.grouped[s.index] = 1;
        plan.order.push_back(s.index);
      }
    }
    first = last;
  }
}

}  // namespace kvt::plc::modbus::tcp
