// One tag of the EtherNet/IP tag layer, owned jointly by a table and the
// scans that copy it; the tag is destroyed with its last owner.
#pragma once

#include <cstdint>
#include <memory>

namespace kvt::plc::eip {

class libplctag_handle {
 public:
  explicit libplctag_handle(std::int32_t id) noexcept : id_(id) {}
  ~libplctag_handle();
  libplctag_handle(const libplctag_handle&) = delete;
  libplctag_handle& operator=(const libplctag_handle&) = delete;

  // The tag id; negative when creating the tag failed (the error code).
  std::int32_t id() const noexcept { return id_; }

 private:
  std::int32_t id_;
};

using handle_ptr = std::shared_ptr<libplctag_handle>;

}  // namespace kvt::plc::eip
