#include "plc/tables.hpp"

namespace kvt::plc {

void inputs_base::clear() {
  tags.clear();
  values.clear();
  dirty.clear();
  ++generation;
}

void inputs_base::append(std::uint64_t tag) {
  tags.push_back(tag);
  values.push_back(0);
  dirty.push_back(true);
  write_time.store(0);
  version.store(0);
}

void outputs_base::clear() {
  tags.clear();
  values.clear();
  shadow.clear();
  ++generation;
  unsent_from = all_sent;
  version.store(0);
  read_count.store(0);
  read_time.store(0);
}

void outputs_base::append(std::uint64_t tag) {
  tags.push_back(tag);
  values.push_back(0);
  shadow.push_back(0);
}

}  // namespace kvt::plc
