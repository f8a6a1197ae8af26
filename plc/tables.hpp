// The two signal tables of a driver.
//
// Inputs are controller inputs: values the simulation writes to the controller.
// Outputs are controller outputs: values the simulation reads from it. Index i
// of every vector in a table is the signal's index in the page's binding list
// and in the signal buffer's records.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <span>
#include <utility>
#include <vector>

namespace kvt::plc {

class inputs_base {
 public:
  inputs_base() = default;
  inputs_base(const inputs_base&) = delete;
  inputs_base& operator=(const inputs_base&) = delete;
  virtual ~inputs_base() = default;

  // Empties the bindings. The caller holds `mutex`.
  virtual void clear();

  // Appends one signal with value 0, dirty so that it is written once.
  // The caller holds `mutex`.
  void append(std::uint64_t tag);

  // Guarded by `mutex`.
  std::vector<std::uint64_t> tags;
  std::vector<std::int32_t> values;
  std::vector<bool> dirty;
  // Counts every `clear`, so a scan that copied the bindings can tell that
  // they were replaced meanwhile, even under the same version number.
  std::uint64_t generation = 0;

  std::mutex mutex;
  std::atomic<std::uint32_t> write_time{0};  // µs of the last write phase
  std::atomic<std::uint32_t> version{0};     // the page's bindings version
};

class outputs_base {
 public:
  // `unsent_from` when every signal has reached the page at least once since
  // the last full exchange.
  static constexpr std::uint32_t all_sent = 0xFFFF'FFFFu;

  outputs_base() = default;
  outputs_base(const outputs_base&) = delete;
  outputs_base& operator=(const outputs_base&) = delete;
  virtual ~outputs_base() = default;

  // Empties the bindings and zeroes version, read count and read time.
  // The caller holds `mutex`.
  virtual void clear();

  // Appends one signal with value 0 and shadow 0. The caller holds `mutex`.
  void append(std::uint64_t tag);

  // Guarded by `mutex`.
  std::vector<std::uint64_t> tags;
  std::vector<std::int32_t> values;
  std::vector<std::int32_t> shadow;  // values last sent to the page
  std::uint64_t generation = 0;      // as in inputs_base
  // First index of a full exchange that did not fit into the signal buffer:
  // from here on the page has not seen the values, whatever the shadow says.
  std::uint32_t unsent_from = all_sent;

  std::mutex mutex;
  std::atomic<std::uint32_t> version{0};
  std::atomic<std::uint32_t> read_count{0};  // complete reads since the last clear
  std::atomic<std::uint32_t> read_time{0};   // µs of the last read phase
};

// Tables with one handle (tag object, node handle, topic name) per signal.
template <class T>
class inputs : public inputs_base {
 public:
  void clear() override {
    inputs_base::clear();
    handles.clear();
  }
  std::vector<T> handles;  // guarded by `mutex`, same index as `tags`
};

template <>
class inputs<void> : public inputs_base {};

template <class T>
class outputs : public outputs_base {
 public:
  void clear() override {
    outputs_base::clear();
    handles.clear();
  }
  std::vector<T> handles;
};

template <>
class outputs<void> : public outputs_base {};

// Replaces a table's bindings: clear, append every tag (and its handle), then
// publish the page's version. Takes the table's mutex.
template <class Table>
void bind(Table& table, std::span<const std::uint64_t> tags, std::uint32_t version) {
  std::lock_guard lock(table.mutex);
  table.clear();
  for (const std::uint64_t tag : tags) table.append(tag);
  table.version.store(version);
}

template <class Table, class Handle>
void bind(Table& table, std::span<const std::uint64_t> tags, std::vector<Handle> handles, std::uint32_t version) {
  std::lock_guard lock(table.mutex);
  table.clear();
  for (const std::uint64_t tag : tags) table.append(tag);
  table.handles = std::move(handles);
  table.handles.resize(table.tags.size());
  table.version.store(version);
}

}  // namespace kvt::plc
