// What one scan cycle takes out of the tables: the dirty inputs to write and
// the outputs to read. The vectors live as long as the driver and keep their
// capacity, so a steady scan does not allocate.
#pragma once

#include <cstdint>
#include <type_traits>
#include <vector>

namespace kvt::plc {

namespace detail {
template <class T>
struct handle_list {
  std::vector<T> handles;
  void clear_handles() noexcept { handles.clear(); }
};
template <>
struct handle_list<void> {
  void clear_handles() noexcept {}
};
}  // namespace detail

// Inputs collected for one write phase, in index order.
template <class T>
struct write_batch : detail::handle_list<T> {
  std::uint64_t generation = 0;  // of the inputs table when collected
  std::vector<std::uint32_t> indices;
  std::vector<std::uint64_t> tags;
  std::vector<std::int32_t> values;

  std::size_t size() const noexcept { return indices.size(); }
  bool empty() const noexcept { return indices.empty(); }
  void clear() noexcept {
    indices.clear();
    tags.clear();
    values.clear();
    this->clear_handles();
  }
};

// Outputs to read in one read phase; the driver fills `slots`, one 32-bit
// value slot per tag, zero-initialised before the read.
template <class T>
struct read_batch : detail::handle_list<T> {
  std::uint64_t generation = 0;  // of the outputs table when copied
  std::vector<std::uint64_t> tags;
  std::vector<std::int32_t> slots;

  std::size_t size() const noexcept { return tags.size(); }
};

}  // namespace kvt::plc
