#include "plc/eip/tag_attributes.hpp"

#include "plc/value_type.hpp"

namespace kvt::plc::eip {

std::string base_attributes(std::string_view host, std::string_view path, std::string_view type) {
  std::string s = "protocol=ab-eip&gateway=";
  s.append(host);
  if (!path.empty()) s.append("&path=").append(path);
  s.append("&plc=").append(type);
  return s;
}

std::string tag_attributes(std::string_view host, std::string_view path, std::string_view type,
                           std::uint32_t elem_size, std::uint32_t elem_count, std::string_view name) {
  std::string s = base_attributes(host, path, type);
  s.append("&elem_size=").append(std::to_string(elem_size));
  if (elem_count > 1) s.append("&elem_count=").append(std::to_string(elem_count));
  s.append("&name=").append(name);
  return s;
}

}  // namespace kvt::plc::eip
