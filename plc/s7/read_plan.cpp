#include "plc/s7/read_plan.hpp"

#include <algorithm>
#include <optional>

#include "plc/s7/value_codec.hpp"

namespace kvt::plc::s7 {

namespace {

// Bytes of a value of `type`; the type is one S7 carries.
std::uint32_t value_bytes(std::uint32_t type) noexcept {
  return static_cast<std::uint32_t>(payload_bytes(word_len_of(type).value_or(word_len::byte)));
}

}  // namespace

read_plan::read_plan() {
  tags_.reserve(item_list::reserved_items);
  alone_.reserve(item_list::reserved_items);
  spans_.reserve(item_list::reserved_items);
  entries_.reserve(item_list::reserved_items);
}

void read_plan::build(std::span<const std::uint64_t> tags, const plan_key& key) {
  key_ = key;
  built_ = true;
  tags_.assign(tags.begin(), tags.end());
  alone_.assign(tags_.size(), key.join ? 0 : 1);
  plan();
}

void read_plan::plan() {
  list_.clear();
  entries_.clear();
  spans_.clear();
  request_fill fill(key_.pdu_length, request_kind::read);

  // Signals read alone first, in their order, then the runs.
  for (std::size_t i = 0; i < tags_.size(); ++i) {
    const std::optional<item_address> address = item_address_of(tags_[i]);
    if (!address) continue;
    const auto signal = static_cast<std::uint32_t>(i);
    if (alone_[i] != 0)
      add_alone(signal, *address, fill);
    else
      spans_.push_back(span_of(*address, signal));
  }
  sort_spans(spans_);

  const std::span<const byte_span> spans(spans_);
  for (std::size_t first = 0; first < spans.size();) {
    const std::size_t last = run_end(spans, first);
    const std::span<const byte_span> run = spans.subspan(first, last - first);
    if (run.size() == 1) {
      add_alone(run[0].signal, *item_address_of(tags_[run[0].signal]), fill);
    } else {
      cut_run(run, fill, [&](std::size_t a, std::size_t b, std::uint32_t begin, std::uint32_t end) {
        if (b - a == 1) {
          // A piece of one signal reads as that signal alone would (the
          // payload is the same, already counted).
          entries_.push_back({run[a].signal, tag_type(tags_[run[a].signal]), 0, whole_value});
          list_.append(*item_address_of(tags_[run[a].signal]), 1, static_cast<std::uint32_t>(entries_.size() - 1), 1,
                       false);
          return;
        }
        const auto first_entry = static_cast<std::uint32_t>(entries_.size());
        for (std::size_t k = a; k < b; ++k) {
          const std::uint32_t signal = run[k].signal;
          const std::uint32_t type = tag_type(tags_[signal]);
          const std::uint32_t bit = type == value_type::boolean ? decode_tag(tags_[signal]).bit : whole_value;
          entries_.push_back({signal, type, run[k].begin - begin, bit});
        }
        list_.append(bytes_item(run[a], begin), static_cast<int>(end - begin), first_entry,
                     static_cast<std::uint32_t>(b - a), true);
      });
    }
    first = last;
  }
  list_.attach_data();
}

void read_plan::add_alone(std::uint32_t signal, const item_address& address, request_fill& fill) {
  fill.add(request_payload(address.word_len, 1, request_kind::read));
  entries_.push_back({signal, tag_type(tags_[signal]), 0, whole_value});
  list_.append(address, 1, static_cast<std::uint32_t>(entries_.size() - 1), 1, false);
}

bool read_plan::split_refused() {
  bool any = false;
  const std::span<const TS7DataItem> items = list_.items();
  for (std::size_t j = 0; j < items.size(); ++j) {
    if (items[j].Result == 0 || !list_.joined(j)) continue;
    const std::uint32_t first = list_.first_entry(j);
    for (std::uint32_t e = first; e < first + list_.entries(j); ++e) alone_[entries_[e].signal] = 1;
    any = true;
  }
  if (any) plan();
  return any;
}

void read_plan::store(std::span<std::int32_t> values) const noexcept {
  const std::span<const TS7DataItem> items = list_.items();
  for (std::size_t j = 0; j < items.size(); ++j) {
    // An item the controller refused keeps its signals' last values instead
    // of showing the page a 0 the controller never had.
    if (items[j].Result != 0) continue;
    const std::span<const std::uint8_t> data = list_.data(j);
    const std::uint32_t first = list_.first_entry(j);
    for (std::uint32_t e = first; e < first + list_.entries(j); ++e) {
      const entry& v = entries_[e];
      item_bytes b{};
      if (v.bit != whole_value)
        b[0] = static_cast<std::uint8_t>((data[v.offset] >> v.bit) & 1u);
      else
        std::copy_n(data.begin() + v.offset, std::min<std::size_t>(value_bytes(v.type), data.size() - v.offset),
                    b.begin());
      values[v.signal] = from_controller(v.type, b);
    }
  }
}

}  // namespace kvt::plc::s7
