#include "support/page_player.hpp"

#include <atomic>
#include <cstring>
#include <stdexcept>
#include <thread>

#include "renderer/page_contract.hpp"

namespace kvt::test {

namespace sb = kvt::page::signal;

void page_player::set_pace_key(float key) { std::memcpy(&words_[sb::pace_key_word], &key, sizeof key); }

std::uint32_t page_player::state() const {
  return std::atomic_ref<std::uint32_t>(words_[sb::state_word]).load(std::memory_order_acquire);
}

bool page_player::handshake(std::uint32_t request, std::uint32_t answer, std::chrono::milliseconds timeout) {
  std::atomic_ref<std::uint32_t> state_word(words_[sb::state_word]);
  state_word.store(request, std::memory_order_release);
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (unsigned spins = 0; state_word.load(std::memory_order_acquire) != answer; ++spins) {
    if ((spins & 0xFF) == 0 && std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::yield();
  }
  return true;
}

std::optional<std::vector<output_record>> page_player::request_outputs(std::chrono::milliseconds timeout) {
  if (!handshake(sb::state::outputs_requested, sb::state::outputs_ready, timeout)) return std::nullopt;
  std::vector<output_record> records;
  const std::uint32_t count = words_[sb::record_count_word];
  std::size_t pos = sb::first_record_word;
  for (std::uint32_t r = 0; r < count; ++r) {
    if (pos + sb::output_record::header_words > word_count_) throw std::runtime_error("output record past the end");
    output_record rec;
    rec.id = static_cast<std::int32_t>(words_[pos + sb::output_record::id]);
    rec.write_time = words_[pos + sb::output_record::write_time];
    rec.read_time = words_[pos + sb::output_record::read_time];
    rec.version = words_[pos + sb::output_record::version];
    const std::uint32_t n = words_[pos + sb::output_record::pair_count];
    pos += sb::output_record::header_words;
    if (pos + std::size_t{n} * sb::pair_words > word_count_) throw std::runtime_error("output pairs past the end");
    for (std::uint32_t k = 0; k < n; ++k)
      rec.pairs.emplace_back(words_[pos + 2 * k], static_cast<std::int32_t>(words_[pos + 2 * k + 1]));
    pos += std::size_t{n} * sb::pair_words;
    records.push_back(std::move(rec));
  }
  return records;
}

bool page_player::deliver_inputs(const std::vector<input_record>& records, std::chrono::milliseconds timeout) {
  std::vector<std::uint32_t> raw;
  for (const auto& rec : records) {
    raw.push_back(static_cast<std::uint32_t>(rec.id));
    raw.push_back(rec.version);
    raw.push_back(static_cast<std::uint32_t>(rec.pairs.size()));
    for (const auto& [index, value] : rec.pairs) {
      raw.push_back(index);
      raw.push_back(static_cast<std::uint32_t>(value));
    }
  }
  return deliver_raw(raw, static_cast<std::uint32_t>(records.size()), timeout);
}

bool page_player::deliver_raw(const std::vector<std::uint32_t>& record_words, std::uint32_t count,
                              std::chrono::milliseconds timeout) {
  if (sb::first_record_word + record_words.size() > word_count_) throw std::runtime_error("records too long");
  std::memcpy(&words_[sb::first_record_word], record_words.data(), record_words.size() * sizeof(std::uint32_t));
  words_[sb::record_count_word] = count;
  return handshake(sb::state::inputs_delivered, sb::state::inputs_applied, timeout);
}

}  // namespace kvt::test
