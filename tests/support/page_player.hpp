// Plays the page's side of the signal buffer: requests outputs, delivers
// inputs, and reads the answers exactly as the page's script does.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "support/eventually.hpp"

namespace kvt::test {

using pair_list = std::vector<std::pair<std::uint32_t, std::int32_t>>;

struct output_record {
  std::int32_t id = 0;
  std::uint32_t write_time = 0;
  std::uint32_t read_time = 0;
  std::uint32_t version = 0;
  pair_list pairs;
};

struct input_record {
  std::int32_t id = 0;
  std::uint32_t version = 0;
  pair_list pairs;
};

class page_player {
 public:
  page_player(std::uint32_t* words, std::size_t word_count) : words_(words), word_count_(word_count) {}

  void set_pace_key(float key);

  // Writes 1, waits for 4 and returns the records; nullopt on time-out.
  std::optional<std::vector<output_record>> request_outputs(std::chrono::milliseconds timeout = std::chrono::seconds(5));

  // Writes the records, their count and 2, and waits for 8. Returns false on
  // time-out.
  bool deliver_inputs(const std::vector<input_record>& records,
                      std::chrono::milliseconds timeout = std::chrono::seconds(5));

  // Writes raw words from word 3, `count` into word 2 and 2 into word 0, and
  // waits for 8: for records the page should never send.
  bool deliver_raw(const std::vector<std::uint32_t>& record_words, std::uint32_t count,
                   std::chrono::milliseconds timeout = std::chrono::seconds(5));

  std::uint32_t state() const;
  std::uint32_t word(std::size_t i) const { return words_[i]; }

 private:
  bool handshake(std::uint32_t request, std::uint32_t answer, std::chrono::milliseconds timeout);

  std::uint32_t* words_;
  std::size_t word_count_;
};

}  // namespace kvt::test
