#include "support/exchange_fixture.hpp"

#include <stdexcept>

#include "plc/signal_exchange.hpp"

namespace kvt::test {

namespace {
constexpr std::uint32_t guard_value = 0xA5A5'5A5Au;
}

std::vector<std::uint64_t> tags_from(std::uint64_t first_address, std::size_t count, std::uint32_t type) {
  std::vector<std::uint64_t> tags;
  for (std::size_t i = 0; i < count; ++i) tags.push_back(plc::make_tag(type, first_address + i));
  return tags;
}

exchange_fixture::exchange_fixture(std::size_t word_count, std::size_t guard_words)
    : storage_(word_count + guard_words, guard_value), word_count_(word_count), page_(storage_.data(), word_count) {
  std::fill(storage_.begin(), storage_.begin() + static_cast<std::ptrdiff_t>(word_count), 0u);
  thread_ = std::thread([this] {
    plc::run_signal_exchange(storage_.data(), word_count_ * sizeof(std::uint32_t), registry_, shutdown_);
  });
}

exchange_fixture::~exchange_fixture() {
  shutdown_.store(true);
  thread_.join();
}

bool exchange_fixture::guard_intact() const {
  for (std::size_t i = word_count_; i < storage_.size(); ++i)
    if (storage_[i] != guard_value) return false;
  return true;
}

plc::memory::driver& exchange_fixture::add_memory_driver(const memory_setup& setup) {
  auto target = std::make_shared<plc::memory::controller>(output_base + setup.outputs + 1);
  auto owned = std::make_unique<plc::memory::driver>("memory-" + std::to_string(setup.id), target);
  auto& d = *owned;
  d.set_id(setup.id);
  plc::connection_params params;
  params.scan_rate = setup.scan_rate;
  d.configure(params);
  plc::bind(d.inputs(), tags_from(0, setup.inputs), setup.version);
  plc::bind(d.outputs(), tags_from(output_base, setup.outputs), setup.version);
  if (setup.connect && !d.connect()) throw std::runtime_error("memory driver did not connect");
  registry_.insert(std::move(owned));
  return d;
}

bool wait_reads(plc::driver_base& driver, std::uint32_t count) {
  const std::uint32_t start = driver.outputs().read_count.load();
  return eventually([&] { return driver.outputs().read_count.load() >= start + count; });
}

}  // namespace kvt::test
