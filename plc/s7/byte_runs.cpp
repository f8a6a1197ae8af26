#include "plc/s7/byte_runs.hpp"

#include <tuple>

namespace kvt::plc::s7 {

byte_span span_of(const item_address& address, std::uint32_t signal) noexcept {
  byte_span s;
  s.area = address.area;
  s.db_number = address.area == item_area::data_block ? address.db_number : 0;
  const bool bit = address.word_len == word_len::bit;
  s.begin = static_cast<std::uint32_t>(bit ? address.start / 8 : address.start);
  s.end = s.begin + static_cast<std::uint32_t>(payload_bytes(address.word_len));
  s.signal = signal;
  return s;
}

void sort_spans(std::vector<byte_span>& spans) noexcept {
  std::sort(spans.begin(), spans.end(), [](const byte_span& a, const byte_span& b) {
    return std::tie(a.area, a.db_number, a.begin, a.signal) < std::tie(b.area, b.db_number, b.begin, b.signal);
  });
}

std::size_t run_end(std::span<const byte_span> spans, std::size_t first) noexcept {
  std::uint32_t end = spans[first].end;
  std::size_t i = first + 1;
  for (; i < spans.size(); ++i) {
    const byte_span& s = spans[i];
    if (s.area != spans[first].area || s.db_number != spans[first].db_number || s.begin > end) break;
    end = std::max(end, s.end);
  }
  return i;
}

}  // namespace kvt::plc::s7
