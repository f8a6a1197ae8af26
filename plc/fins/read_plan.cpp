#include "plc/fins/read_plan.hpp"

#include <algorithm>

#include "plc/fins/address.hpp"
#include "plc/fins/client.hpp"

namespace kvt::plc::fins {

namespace {

// An item placed on its area's words.
struct placed {
  std::uint8_t area_code = 0;
  std::uint32_t first = 0;  // word address
  std::uint32_t end = 0;
  std::uint32_t item = 0;
  std::uint8_t bit = 0;
};

// A run of words that one memory area read could take, with its items.
struct segment {
  std::uint8_t area_code = 0;
  std::uint32_t first = 0;
  std::uint32_t end = 0;
  std::uint32_t from = 0;  // its items: candidates[from, to)
  std::uint32_t to = 0;
  std::uint32_t size() const noexcept { return to - from; }
};

std::size_t chunks(std::size_t items) noexcept { return (items + max_read_items - 1) / max_read_items; }

}  // namespace

std::size_t read_plan::requests() const noexcept { return ranges.size() + chunks(singles.size()); }

result_code plan_reads(std::span<const read_item> items, family f, bool ranges, read_plan& plan) {
  plan.resolved.clear();
  plan.singles.clear();
  plan.ranges.clear();
  plan.ranged.clear();
  plan.words.clear();
  std::vector<placed> candidates;
  if (ranges) candidates.reserve(items.size());
  for (std::uint32_t i = 0; i < items.size(); ++i) {
    const read_item& item = items[i];
    const auto parsed = parse_address(item.address);
    if (!parsed) return code::bad_read_address;
    const auto resolved = resolve(f, access_of(item.kind), service::read, parsed->area_name(), parsed->word, parsed->bit);
    if (!resolved) return code::no_read_area;
    plan.resolved.push_back(*resolved);
    if (!ranges) continue;
    // The same words through the area's word access; a bit is taken from
    // its word.
    const auto words = resolve(f, access::word, service::read, parsed->area_name(), parsed->word, 0);
    if (!words) continue;
    candidates.push_back({words->area_code, words->word, words->word + static_cast<std::uint32_t>(elements_of(item.kind)),
                          i, item.kind == read_kind::bit ? resolved->bit : std::uint8_t{0}});
  }

  // Runs of touching or overlapping words, cut where a read would exceed
  // the frame.
  std::sort(candidates.begin(), candidates.end(), [](const placed& a, const placed& b) {
    if (a.area_code != b.area_code) return a.area_code < b.area_code;
    if (a.first != b.first) return a.first < b.first;
    return a.item < b.item;
  });
  std::vector<segment> segments;
  for (std::uint32_t c = 0; c < candidates.size(); ++c) {
    const placed& p = candidates[c];
    segment* open = segments.empty() ? nullptr : &segments.back();
    if (open != nullptr && open->area_code == p.area_code && p.first <= open->end &&
        std::max(open->end, p.end) - open->first <= max_range_words) {
      open->end = std::max(open->end, p.end);
      open->to = c + 1;
    } else {
      segments.push_back({p.area_code, p.first, p.end, c, c + 1});
    }
  }

  // Taking the m runs with the most items costs m reads plus the multiple
  // reads of the items left; the cheapest m wins, the fewest runs on a tie.
  std::stable_sort(segments.begin(), segments.end(),
                   [](const segment& a, const segment& b) { return a.size() > b.size(); });
  std::size_t best = 0;
  std::size_t best_cost = chunks(items.size());
  std::size_t left = items.size();
  for (std::size_t m = 1; m <= segments.size(); ++m) {
    left -= segments[m - 1].size();
    const std::size_t cost = m + chunks(left);
    if (cost < best_cost) {
      best = m;
      best_cost = cost;
    }
  }

  std::vector<std::uint8_t> in_range(items.size(), 0);
  for (std::size_t s = 0; s < best; ++s) {
    const segment& g = segments[s];
    const auto offset = static_cast<std::uint32_t>(plan.words.size());
    plan.ranges.push_back({{g.area_code, static_cast<std::uint16_t>(g.first), 0},
                           static_cast<std::uint16_t>(g.end - g.first), offset});
    plan.words.resize(plan.words.size() + (g.end - g.first));
    for (std::uint32_t c = g.from; c < g.to; ++c) {
      const placed& p = candidates[c];
      plan.ranged.push_back({p.item, offset + (p.first - g.first), p.bit});
      in_range[p.item] = 1;
    }
  }
  for (std::uint32_t i = 0; i < items.size(); ++i)
    if (in_range[i] == 0) plan.singles.push_back(i);
  return code::ok;
}

std::uint64_t raw_from_words(std::span<const std::uint16_t> words, const ranged_item& r, read_kind kind) noexcept {
  if (kind == read_kind::bit) return (words[r.word] >> r.bit) & 1u;
  std::uint64_t raw = 0;
  const std::size_t n = elements_of(kind);
  for (std::size_t e = 0; e < n; ++e) raw |= static_cast<std::uint64_t>(words[r.word + e]) << (16 * e);
  return raw;
}

}  // namespace kvt::plc::fins
