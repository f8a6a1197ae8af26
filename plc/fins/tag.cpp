#include "plc/fins/tag.hpp"

#include <cstdio>

namespace kvt::plc::fins {

void format_address(std::uint64_t tag, bool with_bit, char (&out)[address_capacity]) noexcept {
  const tag_fields f = decode_tag(tag);
  const std::string_view name = area_name(f.area);
  if (with_bit)
    std::snprintf(out, sizeof out, "%.*s%u.%u", static_cast<int>(name.size()), name.data(), f.word, f.bit);
  else
    std::snprintf(out, sizeof out, "%.*s%u", static_cast<int>(name.size()), name.data(), f.word);
}

}  // namespace kvt::plc::fins
