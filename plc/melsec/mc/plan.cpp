#include "plc/melsec/mc/plan.hpp"

#include <algorithm>
#include <map>
#include <tuple>
#include <utility>

#include "plc/melsec/mc/frames.hpp"

namespace kvt::plc::melsec::mc {
namespace {

std::size_t requests_for(std::size_t points, std::size_t per_request) {
  return (points + per_request - 1) / per_request;
}

// One point of a request that several entries may share.
struct point {
  device_address address;
  std::uint32_t step = 1;  // number distance to the next point of a run
  std::vector<std::pair<std::size_t, std::int8_t>> users;  // entry, bit
  bool batched = false;
};

// Consecutive points (same code, numbers `step` apart), as indices into a
// point list.
using run = std::vector<std::size_t>;

std::vector<run> runs_of(const std::vector<point>& points) {
  std::vector<std::size_t> order(points.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    const auto& pa = points[a].address;
    const auto& pb = points[b].address;
    return pa.code != pb.code ? pa.code < pb.code : pa.number < pb.number;
  });
  std::vector<run> runs;
  for (const std::size_t i : order) {
    if (!runs.empty()) {
      const point& last = points[runs.back().back()];
      const point& p = points[i];
      if (last.address.code == p.address.code && p.address.number == last.address.number + last.step) {
        runs.back().push_back(i);
        continue;
      }
    }
    runs.push_back({i});
  }
  return runs;
}

// Marks the runs that go into batch requests: longest first, each when it
// lowers the total count of requests.
std::vector<run> choose_batches(std::vector<point>& points, std::size_t random_limit) {
  std::vector<run> runs = runs_of(points);
  std::stable_sort(runs.begin(), runs.end(), [](const run& a, const run& b) { return a.size() > b.size(); });
  std::size_t random_points = points.size();
  std::vector<run> chosen;
  for (run& r : runs) {
    const std::size_t before = requests_for(random_points, random_limit);
    const std::size_t after =
        requests_for(random_points - r.size(), random_limit) + requests_for(r.size(), limit::batch_words);
    if (after >= before) continue;
    random_points -= r.size();
    for (const std::size_t i : r) points[i].batched = true;
    chosen.push_back(std::move(r));
  }
  std::stable_sort(chosen.begin(), chosen.end(), [&](const run& a, const run& b) { return a.front() < b.front(); });
  return chosen;
}

// The point for (code, number) in `points`, added when new.
point& point_for(std::vector<point>& points, std::map<std::pair<std::uint16_t, std::uint32_t>, std::size_t>& index,
                 std::uint16_t code, std::uint32_t number, std::uint32_t step) {
  const auto [it, added] = index.emplace(std::make_pair(code, number), points.size());
  if (added) points.push_back(point{{code, number}, step, {}, false});
  return points[it->second];
}

void add_targets(read_step& s, const point& p, std::size_t slot) {
  for (const auto& [entry, bit] : p.users) s.targets.push_back({entry, slot, bit});
}

}  // namespace

std::vector<read_step> plan_read(std::span<const device_ref> entries) {
  std::vector<point> words, dwords, long_bits;
  std::map<std::pair<std::uint16_t, std::uint32_t>, std::size_t> word_index, dword_index, bit_index;
  for (std::size_t e = 0; e < entries.size(); ++e) {
    const device_type& t = *entries[e].type;
    const std::uint32_t n = entries[e].number;
    if (t.kind == device_kind::dword) {
      point_for(dwords, dword_index, t.code, n, 1).users.emplace_back(e, -1);
    } else if (t.kind == device_kind::bit && t.extended) {
      point_for(long_bits, bit_index, t.code, n, 1).users.emplace_back(e, -1);
    } else if (t.kind == device_kind::bit) {
      point_for(words, word_index, t.code, n & ~0xFu, 16).users.emplace_back(e, static_cast<std::int8_t>(n & 0xF));
    } else {
      point_for(words, word_index, t.code, n, 1).users.emplace_back(e, -1);
    }
  }

  std::vector<read_step> steps;
  const std::vector<run> batches = choose_batches(words, limit::random_read);
  // Random reads of the words not batched, in the order the list names them.
  std::vector<std::size_t> random;
  for (std::size_t i = 0; i < words.size(); ++i)
    if (!words[i].batched) random.push_back(i);
  for (std::size_t first = 0; first < random.size(); first += limit::random_read) {
    const std::size_t n = std::min(limit::random_read, random.size() - first);
    read_step s;
    s.shape = read_shape::random;
    s.words = n;
    std::vector<device_address> addresses;
    for (std::size_t k = 0; k < n; ++k) {
      addresses.push_back(words[random[first + k]].address);
      add_targets(s, words[random[first + k]], k);
    }
    s.request = random_read_request(addresses, {}, false);
    steps.push_back(std::move(s));
  }
  for (const run& r : batches) {
    for (std::size_t first = 0; first < r.size(); first += limit::batch_words) {
      const std::size_t n = std::min(limit::batch_words, r.size() - first);
      read_step s;
      s.shape = read_shape::words;
      s.words = n;
      for (std::size_t k = 0; k < n; ++k) add_targets(s, words[r[first + k]], k);
      s.request = batch_read_request(words[r[first]].address, static_cast<std::uint16_t>(n), false, false);
      steps.push_back(std::move(s));
    }
  }
  for (std::size_t first = 0; first < dwords.size(); first += limit::random_read_extended) {
    const std::size_t n = std::min(limit::random_read_extended, dwords.size() - first);
    read_step s;
    s.shape = read_shape::random;
    s.dwords = n;
    std::vector<device_address> addresses;
    for (std::size_t k = 0; k < n; ++k) {
      addresses.push_back(dwords[first + k].address);
      add_targets(s, dwords[first + k], k);
    }
    s.request = random_read_request({}, addresses, true);
    steps.push_back(std::move(s));
  }
  for (const run& r : runs_of(long_bits)) {
    for (std::size_t first = 0; first < r.size(); first += limit::batch_bits) {
      const std::size_t n = std::min(limit::batch_bits, r.size() - first);
      read_step s;
      s.shape = read_shape::bits;
      s.bits = n;
      for (std::size_t k = 0; k < n; ++k) add_targets(s, long_bits[r[first + k]], k);
      s.request = batch_read_request(long_bits[r[first]].address, static_cast<std::uint16_t>(n), true, true);
      steps.push_back(std::move(s));
    }
  }
  return steps;
}

bool apply_read(const read_step& step, std::span<const std::uint8_t> data, std::span<std::int16_t> values) {
  std::vector<std::uint32_t> slots;
  switch (step.shape) {
    case read_shape::random: {
      std::vector<std::uint16_t> w(step.words);
      std::vector<std::uint32_t> d(step.dwords);
      if (!decode_random_read(data, w, d)) return false;
      slots.assign(w.begin(), w.end());
      slots.insert(slots.end(), d.begin(), d.end());
      break;
    }
    case read_shape::words: {
      std::vector<std::uint16_t> w(step.words);
      if (!decode_words(data, w)) return false;
      slots.assign(w.begin(), w.end());
      break;
    }
    case read_shape::bits: {
      std::vector<std::uint8_t> b(step.bits);
      if (!decode_bits(data, b)) return false;
      slots.assign(b.begin(), b.end());
      break;
    }
  }
  for (const read_target& t : step.targets) {
    if (t.slot >= slots.size() || t.entry >= values.size()) return false;
    const std::uint32_t v = t.bit < 0 ? (slots[t.slot] & 0xFFFFu) : ((slots[t.slot] >> t.bit) & 1u);
    values[t.entry] = static_cast<std::int16_t>(static_cast<std::uint16_t>(v));
  }
  return true;
}

std::vector<std::vector<std::uint8_t>> plan_write(std::span<const device_ref> entries,
                                                  std::span<const std::int16_t> values) {
  // One point per device, holding its last value.
  std::vector<point> words, bits, long_bits, dwords;
  std::map<std::pair<std::uint16_t, std::uint32_t>, std::size_t> word_index, bit_index, long_bit_index, dword_index;
  std::vector<std::uint16_t> value_of(entries.size());
  for (std::size_t e = 0; e < entries.size(); ++e) {
    const device_type& t = *entries[e].type;
    value_of[e] = static_cast<std::uint16_t>(values[e]);
    auto [list, index] = t.kind == device_kind::word  ? std::tie(words, word_index)
                          : t.kind == device_kind::dword ? std::tie(dwords, dword_index)
                          : t.extended                   ? std::tie(long_bits, long_bit_index)
                                                         : std::tie(bits, bit_index);
    point& p = point_for(list, index, t.code, entries[e].number, 1);
    p.users.assign(1, {e, -1});
  }
  const auto last_value = [&](const point& p) { return value_of[p.users.front().first]; };

  std::vector<std::vector<std::uint8_t>> requests;
  constexpr std::size_t words_per_random = limit::random_write_weight / 12;
  const std::vector<run> batches = choose_batches(words, words_per_random);
  std::vector<word_value> random;
  for (const point& p : words)
    if (!p.batched) random.push_back({p.address, last_value(p)});
  for (std::size_t first = 0; first < random.size(); first += words_per_random) {
    const std::size_t n = std::min(words_per_random, random.size() - first);
    requests.push_back(random_write_words_request(std::span(random).subspan(first, n), {}, false));
  }
  for (const run& r : batches) {
    for (std::size_t first = 0; first < r.size(); first += limit::batch_words) {
      const std::size_t n = std::min(limit::batch_words, r.size() - first);
      std::vector<std::uint16_t> data;
      for (std::size_t k = 0; k < n; ++k) data.push_back(last_value(words[r[first + k]]));
      requests.push_back(batch_write_words_request(words[r[first]].address, data, false));
    }
  }
  const auto write_bits = [&](const std::vector<point>& list, std::size_t per_request, bool extended) {
    std::vector<bit_value> all;
    for (const point& p : list) all.push_back({p.address, last_value(p) != 0});
    for (std::size_t first = 0; first < all.size(); first += per_request) {
      const std::size_t n = std::min(per_request, all.size() - first);
      requests.push_back(random_write_bits_request(std::span(all).subspan(first, n), extended));
    }
  };
  write_bits(bits, limit::random_write_bits, false);
  write_bits(long_bits, limit::random_write_bits_extended, true);
  constexpr std::size_t dwords_per_random = limit::random_write_weight_extended / 14;
  std::vector<dword_value> all;
  for (const point& p : dwords) all.push_back({p.address, last_value(p)});
  for (std::size_t first = 0; first < all.size(); first += dwords_per_random) {
    const std::size_t n = std::min(dwords_per_random, all.size() - first);
    requests.push_back(random_write_words_request({}, std::span(all).subspan(first, n), true));
  }
  return requests;
}

}  // namespace kvt::plc::melsec::mc
