#include "plc/eip/tags/operation.hpp"

#include <algorithm>
#include <cstring>

#include "plc/eip/tags/status.hpp"

namespace kvt::plc::eip {

namespace {

std::uint32_t known_size(const tag_attributes& a) noexcept { return a.elem_size * a.elem_count; }

std::uint16_t elements(const tag_attributes& a) noexcept { return static_cast<std::uint16_t>(a.elem_count); }

int append_read(work_item& item, byte_buffer& out, const message_limits& limits) {
  const tag_attributes& a = item.tag->attributes();
  if (!item.started) {
    const std::uint32_t size = known_size(a);
    item.fragmented = size > 0 && read_reply_overhead + size > limits.reply;
  }
  const bool ok = item.fragmented ? put_read_tag_fragmented(out, a.path, elements(a), item.offset)
                                  : put_read_tag(out, a.path, elements(a));
  return ok ? status_ok : err_encode;
}

int append_write(work_item& item, byte_buffer& out, const message_limits& limits) {
  const tag_attributes& a = item.tag->attributes();
  return item.tag->with_data([&](byte_buffer& data, tag_type& type) {
    if (type.size == 0) {
      // The type field a write must carry comes from a read.
      item.probing = true;
      return put_read_tag(out, a.path, 1) ? status_ok : err_encode;
    }
    if (data.empty()) return err_no_data;
    if (!item.fragmented && write_request_fixed + a.path.size() + data.size() <= limits.request) {
      return put_write_tag(out, a.path, type, elements(a), data) ? status_ok : err_encode;
    }
    if (!item.fragmented) {
      item.fragmented = true;
      item.offset = 0;
      item.total = static_cast<std::uint32_t>(data.size());
    }
    if (data.size() < item.total) return err_too_small;  // the buffer shrank meanwhile
    const std::size_t room = limits.request > fragment_request_fixed + a.path.size()
                                 ? limits.request - fragment_request_fixed - a.path.size()
                                 : 0;
    // Fragments end on element boundaries.
    std::size_t chunk = std::min<std::size_t>(room, item.total - item.offset);
    if (chunk < item.total - item.offset && a.elem_size > 1) chunk -= chunk % a.elem_size;
    if (chunk == 0) return err_too_large;
    item.chunk = static_cast<std::uint32_t>(chunk);
    return put_write_tag_fragmented(out, a.path, type, elements(a), item.offset,
                                    byte_span(data).subspan(item.offset, chunk))
               ? status_ok
               : err_encode;
  });
}

int apply_read(work_item& item, const cip_reply& reply) {
  if (reply.general_status != cip_status::success && reply.general_status != cip_status::partial_transfer)
    return error_of_cip_status(reply.general_status, reply.extended_status);
  tag_type type;
  const auto value = split_tag_data(reply.data, type);
  if (!value) return value.error;
  const bool more = reply.general_status == cip_status::partial_transfer;
  if (more && value.value.empty()) return err_bad_reply;  // no progress
  const std::size_t end = std::size_t{item.offset} + value.value.size();
  if (end > 0xFFFF'FFFFu) return err_too_large;
  item.tag->with_data([&](byte_buffer& data, tag_type& t) {
    t = type;
    if (data.size() < end || (!more && data.size() != end)) data.resize(end);
    if (!value.value.empty()) std::memcpy(data.data() + item.offset, value.value.data(), value.value.size());
  });
  if (!more) return status_ok;
  item.offset = static_cast<std::uint32_t>(end);
  item.fragmented = true;
  return status_pending;
}

int apply_write(work_item& item, const cip_reply& reply) {
  if (item.probing) {
    if (reply.general_status != cip_status::success && reply.general_status != cip_status::partial_transfer)
      return error_of_cip_status(reply.general_status, reply.extended_status);
    tag_type type;
    const auto value = split_tag_data(reply.data, type);
    if (!value) return value.error;
    item.tag->with_data([&](byte_buffer&, tag_type& t) { t = type; });
    item.probing = false;
    return status_pending;
  }
  if (reply.general_status != cip_status::success)
    return error_of_cip_status(reply.general_status, reply.extended_status);
  if (!item.fragmented) return status_ok;
  item.offset += item.chunk;
  return item.offset < item.total ? status_pending : status_ok;
}

int apply_listing(work_item& item, const cip_reply& reply) {
  if (reply.general_status != cip_status::success && reply.general_status != cip_status::partial_transfer)
    return error_of_cip_status(reply.general_status, reply.extended_status);
  const auto page = check_listing_page(reply.data);
  if (!page) return page.error;
  const bool more = reply.general_status == cip_status::partial_transfer;
  if (more && (page.value.entries == 0 || page.value.last_instance < item.next_instance ||
               page.value.last_instance == 0xFFFF'FFFFu))
    return err_bad_reply;  // a page that does not move on would repeat forever
  item.tag->with_data([&](byte_buffer& data, tag_type&) { data.insert(data.end(), reply.data.begin(), reply.data.end()); });
  if (!more) return status_ok;
  item.next_instance = page.value.last_instance + 1;
  return status_pending;
}

}  // namespace

std::optional<packed_sizes> packable(const work_item& item) {
  if (item.started) return std::nullopt;
  const tag_attributes& a = item.tag->attributes();
  if (item.kind == op_kind::read) {
    const std::uint32_t size = known_size(a);
    if (size == 0) return std::nullopt;
    return packed_sizes{2 + a.path.size() + 2, read_reply_overhead + size};
  }
  if (item.kind == op_kind::write) {
    return item.tag->with_data([&](byte_buffer& data, tag_type& type) -> std::optional<packed_sizes> {
      if (type.size == 0 || data.empty()) return std::nullopt;
      return packed_sizes{2 + a.path.size() + type.size + 2 + data.size(), 4};
    });
  }
  return std::nullopt;
}

int append_request(work_item& item, byte_buffer& out, const message_limits& limits) {
  const std::size_t start = out.size();
  int result = err_unsupported;
  switch (item.kind) {
    case op_kind::read: result = append_read(item, out, limits); break;
    case op_kind::write: result = append_write(item, out, limits); break;
    case op_kind::list:
      if (!item.started) item.tag->with_data([](byte_buffer& data, tag_type&) { data.clear(); });
      result = put_list_symbols(out, item.tag->attributes().path, item.next_instance) ? status_ok : err_encode;
      break;
    case op_kind::raw:
      result = item.tag->with_data([&](byte_buffer& data, tag_type&) {
        if (data.empty()) return err_no_data;
        if (data.size() > limits.request) return err_too_large;
        put_bytes(out, data);
        return status_ok;
      });
      break;
    case op_kind::connect: break;
  }
  if (result == status_ok) {
    item.started = true;
    item.service = out[start];
  } else {
    out.resize(start);
  }
  return result;
}

int apply_reply(work_item& item, byte_span message) {
  if (item.kind == op_kind::raw) {
    // The reply goes back as it came, whatever its status says.
    if (!parse_cip_reply(message)) return err_bad_reply;
    item.tag->with_data([&](byte_buffer& data, tag_type&) { data.assign(message.begin(), message.end()); });
    return status_ok;
  }
  const auto reply = parse_cip_reply(message);
  if (!reply) return reply.error;
  if (reply.value.service != (item.service | service::reply_flag)) {
    // A failed Unconnected Send answers for the request it carried.
    if (reply.value.service == unconnected_send_reply && reply.value.general_status != cip_status::success)
      return error_of_cip_status(reply.value.general_status, reply.value.extended_status);
    return err_bad_reply;
  }
  switch (item.kind) {
    case op_kind::read: return apply_read(item, reply.value);
    case op_kind::write: return apply_write(item, reply.value);
    case op_kind::list: return apply_listing(item, reply.value);
    default: return err_bad_reply;
  }
}

}  // namespace kvt::plc::eip
