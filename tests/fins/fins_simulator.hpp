// A FINS controller on 127.0.0.1 for the tests: answers controller data
// read, memory area read and write and multiple memory area read as an Omron CS/CJ
// CPU does, over memory the test reads and writes. It can be silenced, made
// to answer with an error end code, with the wrong service id, short, late,
// or with a decoy answer from another socket first. Written from the
// command reference alone, without the driver's frame code.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kvt::test {

class fins_simulator {
 public:
  // Word-area codes of the CS/CJ memory areas.
  enum area : std::uint8_t { cio = 0xB0, w = 0xB1, h = 0xB2, a = 0xB3, dm = 0x82 };

  explicit fins_simulator(std::string model = "CJ2M-CPU31");
  ~fins_simulator();
  fins_simulator(const fins_simulator&) = delete;
  fins_simulator& operator=(const fins_simulator&) = delete;

  std::uint16_t port() const noexcept { return port_; }

  std::uint16_t word(area ar, std::uint16_t address) const;
  void set_word(area ar, std::uint16_t address, std::uint16_t value);
  bool bit(area ar, std::uint16_t address, unsigned bit) const;

  // Requests received with this command code (main << 8 | sub).
  std::size_t requests(std::uint16_t command) const;
  // Answers sent so far (decoys not counted).
  std::size_t answers_sent() const noexcept { return sent_.load(); }
  // Every request received, as sent.
  std::vector<std::vector<std::uint8_t>> received() const;

  void set_silent(bool silent) { silent_.store(silent); }
  // Answers every memory command with this end code (0: normally).
  void set_end_code(std::uint16_t end_code) { end_code_.store(end_code); }
  void set_sid_offset(std::uint8_t offset) { sid_offset_.store(offset); }
  // Cuts this many bytes off the end of every answer to a memory read.
  void set_short_by(std::size_t bytes) { short_by_.store(bytes); }
  // Length of the controller data answer, end code included (CS/CJ: 160,
  // C/CV: 161).
  void set_controller_data_length(std::size_t bytes) { controller_data_length_.store(bytes); }
  // Answers after this many milliseconds.
  void set_delay_ms(unsigned ms) { delay_ms_.store(ms); }
  // Sends, before each answer, a copy with every data byte 0xEE from a
  // second socket.
  void set_decoy(bool decoy) { decoy_.store(decoy); }

  static constexpr std::uint16_t controller_data_read = 0x0501;
  static constexpr std::uint16_t memory_area_read = 0x0101;
  static constexpr std::uint16_t memory_area_write = 0x0102;
  static constexpr std::uint16_t multiple_read = 0x0104;

 private:
  void serve();
  std::vector<std::uint8_t> answer(const std::vector<std::uint8_t>& request);
  // End code of an access to `count` words from `address` in the area of
  // `code` (bit or word code), 0 when allowed.
  std::uint16_t check_access(std::uint8_t code, std::uint32_t address, std::uint32_t count, bool write) const;
  std::vector<std::uint16_t>& memory_of(std::uint8_t code);
  const std::vector<std::uint16_t>& memory_of(std::uint8_t code) const;

  std::string model_;
  std::atomic<std::size_t> controller_data_length_{160};
  int fd_ = -1;
  int decoy_fd_ = -1;
  std::uint16_t port_ = 0;
  mutable std::mutex mutex_;
  std::map<std::uint8_t, std::vector<std::uint16_t>> memory_;  // by word-area code
  std::map<std::uint16_t, std::size_t> counts_;
  std::vector<std::vector<std::uint8_t>> received_;
  std::atomic<bool> silent_{false};
  std::atomic<std::uint16_t> end_code_{0};
  std::atomic<std::uint8_t> sid_offset_{0};
  std::atomic<std::size_t> short_by_{0};
  std::atomic<unsigned> delay_ms_{0};
  std::atomic<bool> decoy_{false};
  std::atomic<std::size_t> sent_{0};
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace kvt::test
