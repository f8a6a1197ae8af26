// A signal exchange thread running on a buffer of its own, with a registry
// of in-memory drivers, torn down in order: thread first, then drivers.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

#include "plc/driver_registry.hpp"
#include "plc/memory/driver.hpp"
#include "plc/value_type.hpp"
#include "renderer/page_contract.hpp"
#include "support/page_player.hpp"

namespace kvt::test {

// A connected in-memory driver: inputs bound to registers 0..n_inputs-1,
// outputs to registers output_base..output_base+n_outputs-1.
struct memory_setup {
  std::int32_t id = 1;
  std::size_t inputs = 0;
  std::size_t outputs = 0;
  std::uint32_t version = 1;
  double scan_rate = 0.001;
  bool connect = true;
};

inline constexpr std::uint64_t output_base = 1'000;

std::vector<std::uint64_t> tags_from(std::uint64_t first_address, std::size_t count,
                                     std::uint32_t type = plc::value_type::s32);

class exchange_fixture {
 public:
  // `guard_words` extra words after the buffer, to check nothing is written there.
  explicit exchange_fixture(std::size_t word_count = page::signal::buffer_words, std::size_t guard_words = 0);
  ~exchange_fixture();
  exchange_fixture(const exchange_fixture&) = delete;
  exchange_fixture& operator=(const exchange_fixture&) = delete;

  plc::memory::driver& add_memory_driver(const memory_setup& setup);

  plc::driver_registry& registry() { return registry_; }
  page_player& page() { return page_; }
  std::uint32_t* words() { return storage_.data(); }
  bool guard_intact() const;

 private:
  plc::driver_registry registry_;
  std::vector<std::uint32_t> storage_;
  std::size_t word_count_;
  page_player page_;
  std::atomic<bool> shutdown_{false};
  std::thread thread_;
};

// Waits until the driver has stored `count` more reads than now.
bool wait_reads(plc::driver_base& driver, std::uint32_t count = 2);

}  // namespace kvt::test
