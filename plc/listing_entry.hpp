// One signal a controller or server offers, as the listing commands report
// it: the name to show and bind, the path (what the protocol addresses it
// by) and its tag descriptor.
#pragma once

#include <cstdint>
#include <string>

namespace kvt::plc {

struct listing_entry {
  std::string name;
  std::string path;
  std::uint64_t tag = 0;
};

}  // namespace kvt::plc
