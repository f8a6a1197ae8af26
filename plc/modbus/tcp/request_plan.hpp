// Which requests carry which signals. Outputs of one area whose coils or
// registers follow each other without a gap (touching or overlapping) share
// a read request, up to the protocol's limit per request; dirty inputs at
// consecutive addresses share a multiple-write request. A gap is never
// bridged: the address in it may not exist on the server.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace kvt::plc::modbus::tcp {

inline constexpr std::uint32_t max_read_registers = 125;
inline constexpr std::uint32_t max_read_bits = 2000;
inline constexpr std::uint32_t max_write_registers = 123;
inline constexpr std::uint32_t max_write_bits = 1968;

// Coils or registers [first, end) of one area.
struct address_range {
  std::uint32_t area = 0;
  std::uint32_t first = 0;
  std::uint32_t end = 0;

  constexpr bool overlaps(const address_range& o) const noexcept {
    return area == o.area && first < o.end && o.first < end;
  }
};

// Ranges the server refused to serve in one request: whatever overlaps them
// goes one signal per request from then on.
class refusals {
 public:
  void clear() noexcept { ranges_.clear(); }
  void add(const address_range& r) { ranges_.push_back(r); }
  bool covers(const address_range& r) const noexcept {
    for (const address_range& x : ranges_)
      if (x.overlaps(r)) return true;
    return false;
  }

 private:
  std::vector<address_range> ranges_;
};

struct read_request {
  address_range range;
  std::uint32_t first = 0;    // its outputs: read_plan::members[first, first + members)
  std::uint32_t members = 0;
  bool single = false;        // each output read with a request of its own
};

struct read_plan {
  std::uint64_t generation = 0;  // of the outputs planned
  bool valid = false;
  std::vector<read_request> requests;
  std::vector<std::uint32_t> members;  // indices into the outputs
};

// Plans reading the outputs `tags`: signals the driver skips get no request;
// requests over a refused range, or with one output, are single.
void plan_reads(std::span<const std::uint64_t> tags, const refusals& refused, read_plan& plan);

// The inputs' part of the plan: which inputs may share a multiple-write
// request, in the order of their addresses. A BOOL in a holding register
// never does (it is a mask write or a read-modify-write of a register that
// holds other bits), nor does an input whose coils or registers overlap
// another input's (written alone and in index order, the last write wins as
// it always did).
struct write_plan {
  std::uint64_t generation = 0;  // of the inputs planned
  bool valid = false;
  std::vector<std::uint8_t> grouped;  // per input: 1 when it may share a request
  std::vector<std::uint32_t> order;   // the grouped inputs by area and address
  std::vector<std::int32_t> dirty_at;  // per input: its place in the cycle's batch, or -1
};

void plan_writes(std::span<const std::uint64_t> tags, write_plan& plan);

}  // namespace kvt::plc::modbus::tcp
