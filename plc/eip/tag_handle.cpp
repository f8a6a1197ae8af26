#include "plc/eip/tag_handle.hpp"

#include "plc/eip/tags/plc_tag.hpp"

namespace kvt::plc::eip {

libplctag_handle::~libplctag_handle() {
  if (id_ > 0) plc_tag_destroy(id_);
}

}  // namespace kvt::plc::eip
