#include "plc/s7/write_plan.hpp"

#include <algorithm>
#include <optional>
#include <tuple>

#include "plc/s7/batching.hpp"

namespace kvt::plc::s7 {

namespace {

// Whether a BOOL of `bools` (sorted) lies in the bytes of `run`.
bool holds_a_bool(std::span<const byte_span> bools, std::span<const byte_span> run) noexcept {
  const byte_span& first = run.front();
  std::uint32_t end = first.end;
  for (const byte_span& s : run) end = std::max(end, s.end);
  const auto at = std::lower_bound(bools.begin(), bools.end(), first, [](const byte_span& a, const byte_span& b) {
    return std::tie(a.area, a.db_number, a.begin) < std::tie(b.area, b.db_number, b.begin);
  });
  return at != bools.end() && at->area == first.area && at->db_number == first.db_number && at->begin < end;
}

// Whether two inputs of `run` (sorted) share a byte.
bool overlaps(std::span<const byte_span> run) noexcept {
  std::uint32_t end = run.front().end;
  for (const byte_span& s : run.subspan(1)) {
    if (s.begin < end) return true;
    end = s.end;
  }
  return false;
}

}  // namespace

write_plan::write_plan() {
  written_.reserve(item_list::reserved_items);
  alone_now_.reserve(item_list::reserved_items);
}

void write_plan::build(std::span<const std::uint64_t> tags, const plan_key& key) {
  key_ = key;
  built_ = true;
  const std::size_t n = tags.size();
  address_.assign(n, item_address{});
  value_.assign(n, item_bytes{});
  taken_.assign(n, 0);
  alone_.assign(n, 1);
  spans_.clear();
  run_ends_.clear();
  alone_now_.clear();
  alone_now_.reserve(n);
  joined_now_ = 0;
  written_.clear();
  written_.reserve(n);
  list_.clear();
  list_.reserve(n, 4 * n);

  std::vector<byte_span> candidates;
  std::vector<byte_span> bools;
  for (std::size_t i = 0; i < n; ++i) {
    const std::optional<item_address> a = item_address_of(tags[i]);
    if (!a) continue;
    address_[i] = write_item_of(*a);
    const byte_span span = span_of(address_[i], static_cast<std::uint32_t>(i));
    (a->word_len == word_len::bit ? bools : candidates).push_back(span);
  }
  if (!key.join) return;
  sort_spans(candidates);
  sort_spans(bools);

  const std::span<const byte_span> all(candidates);
  for (std::size_t first = 0; first < all.size();) {
    const std::size_t last = run_end(all, first);
    const std::span<const byte_span> run = all.subspan(first, last - first);
    if (run.size() > 1 && !overlaps(run) && !holds_a_bool(bools, run)) {
      for (const byte_span& s : run) alone_[s.signal] = 0;
      spans_.insert(spans_.end(), run.begin(), run.end());
      run_ends_.push_back(spans_.size());
    }
    first = last;
  }
}

void write_plan::take(std::uint32_t signal, const item_bytes& bytes) noexcept {
  value_[signal] = bytes;
  if (alone_[signal] != 0) {
    alone_now_.push_back(signal);
  } else {
    taken_[signal] = 1;
    ++joined_now_;
  }
}

void write_plan::add_alone(std::uint32_t signal, request_fill& fill) noexcept {
  fill.add(request_payload(address_[signal].word_len, 1, request_kind::write));
  append_alone(signal);
}

void write_plan::append_alone(std::uint32_t signal) noexcept {
  const std::size_t i = list_.append(address_[signal], 1, static_cast<std::uint32_t>(written_.size()), 1, false);
  const std::span<std::uint8_t> data = list_.data(i);
  std::copy_n(value_[signal].begin(), data.size(), data.begin());
  written_.push_back(signal);
}

item_list& write_plan::make_items(int pdu_length) noexcept {
  list_.clear();
  written_.clear();
  request_fill fill(pdu_length, request_kind::write);
  for (const std::uint32_t signal : alone_now_) add_alone(signal, fill);
  alone_now_.clear();

  const std::span<const byte_span> spans(spans_);
  std::size_t first = 0;
  for (std::size_t r = 0; r < run_ends_.size() && joined_now_ > 0; first = run_ends_[r++]) {
    // Changed inputs next to each other form one piece of bytes; an
    // unchanged input between them ends it.
    for (std::size_t k = first; k < run_ends_[r];) {
      if (taken_[spans[k].signal] == 0) {
        ++k;
        continue;
      }
      std::size_t m = k;
      for (; m < run_ends_[r] && taken_[spans[m].signal] != 0; ++m) taken_[spans[m].signal] = 0;
      joined_now_ -= m - k;
      const std::span<const byte_span> changed = spans.subspan(k, m - k);
      cut_run(changed, fill, [&](std::size_t a, std::size_t b, std::uint32_t begin, std::uint32_t end) {
        if (b - a == 1) {
          append_alone(changed[a].signal);  // as with joining off; the payload is the same, counted
          return;
        }
        const std::size_t i = list_.append(bytes_item(changed[a], begin), static_cast<int>(end - begin),
                                           static_cast<std::uint32_t>(written_.size()),
                                           static_cast<std::uint32_t>(b - a), true);
        const std::span<std::uint8_t> data = list_.data(i);
        for (std::size_t s = a; s < b; ++s) {
          const byte_span& span = changed[s];
          std::copy_n(value_[span.signal].begin(), span.end - span.begin, data.begin() + (span.begin - begin));
          written_.push_back(span.signal);
        }
      });
      k = m;
    }
  }
  list_.attach_data();
  return list_;
}

bool write_plan::split_refused(int pdu_length) noexcept {
  const std::span<const TS7DataItem> items = list_.items();
  for (std::size_t j = 0; j < items.size(); ++j) {
    if (items[j].Result == 0 || !list_.joined(j)) continue;
    for (const std::uint32_t signal : signals_of(j)) {
      alone_[signal] = 1;
      alone_now_.push_back(signal);
    }
  }
  if (alone_now_.empty()) return false;
  list_.clear();
  written_.clear();
  request_fill fill(pdu_length, request_kind::write);
  for (const std::uint32_t signal : alone_now_) add_alone(signal, fill);
  alone_now_.clear();
  list_.attach_data();
  return true;
}

std::span<const std::uint32_t> write_plan::signals_of(std::size_t i) const noexcept {
  return std::span<const std::uint32_t>(written_).subspan(list_.first_entry(i), list_.entries(i));
}

}  // namespace kvt::plc::s7
