// The tag layer's calls over the registry, the tags and their sessions.
#include "plc/eip/tags/plc_tag.hpp"

#include <bit>
#include <chrono>
#include <cstring>
#include <type_traits>

#include "plc/eip/tags/tag_registry.hpp"

namespace kvt::plc::eip {

namespace {

std::shared_ptr<tag_state> find(std::int32_t id) { return tag_registry::instance().find(id); }

// Waits up to `timeout_ms` for the tag's operation to end; one that runs
// longer is abandoned with err_timeout.
int wait_for(tag_state& tag, int timeout_ms) {
  tag.session().kick();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  if (!tag.wait(deadline)) {
    tag.cancel(err_timeout);
    return err_timeout;
  }
  return tag.status();
}

// Starts `kind` on the tag; with a time-out, waits for it.
int start(std::int32_t id, int timeout_ms, op_kind kind) {
  if (timeout_ms < 0) return err_bad_param;
  const auto tag = find(id);
  if (!tag) return err_not_found;
  std::uint64_t op_id = 0;
  if (!tag->begin(op_id)) return err_busy;
  tag->session().enqueue(work_item{.tag = tag, .op_id = op_id, .kind = kind});
  return timeout_ms == 0 ? status_pending : wait_for(*tag, timeout_ms);
}

template <class T>
using raw_of = std::conditional_t<sizeof(T) == 1, std::uint8_t,
                                  std::conditional_t<sizeof(T) == 2, std::uint16_t,
                                                     std::conditional_t<sizeof(T) == 4, std::uint32_t, std::uint64_t>>>;

bool in_buffer(const byte_buffer& data, int offset, std::size_t size) {
  return offset >= 0 && static_cast<std::size_t>(offset) <= data.size() && size <= data.size() - offset;
}

// Values are little-endian in the buffer, whatever the host's order.
template <class T>
T get_value(std::int32_t id, int offset) {
  const auto tag = find(id);
  if (!tag) return T{};
  raw_of<T> raw = 0;
  const bool ok = tag->with_data([&](byte_buffer& data, tag_type&) {
    if (!in_buffer(data, offset, sizeof(T))) return false;
    for (std::size_t i = 0; i < sizeof(T); ++i) raw |= static_cast<raw_of<T>>(raw_of<T>{data[offset + i]} << (8 * i));
    return true;
  });
  if (!ok) {
    tag->note(err_out_of_bounds);
    return T{};
  }
  return std::bit_cast<T>(raw);
}

template <class T>
int set_value(std::int32_t id, int offset, T value) {
  const auto tag = find(id);
  if (!tag) return err_not_found;
  const auto raw = std::bit_cast<raw_of<T>>(value);
  const bool ok = tag->with_data([&](byte_buffer& data, tag_type&) {
    if (!in_buffer(data, offset, sizeof(T))) return false;
    for (std::size_t i = 0; i < sizeof(T); ++i) data[offset + i] = static_cast<std::uint8_t>(raw >> (8 * i));
    return true;
  });
  return ok ? status_ok : err_out_of_bounds;
}

// The 16-bit length at `offset` and whether its characters fit the buffer.
int string_length(std::int32_t id, int offset) {
  const auto tag = find(id);
  if (!tag) return err_not_found;
  return tag->with_data([&](byte_buffer& data, tag_type&) {
    if (!in_buffer(data, offset, 2)) return err_out_of_bounds;
    const int length = get_u16(data.data() + offset);
    return in_buffer(data, offset + 2, static_cast<std::size_t>(length)) ? length : err_out_of_bounds;
  });
}

}  // namespace

std::int32_t plc_tag_create(const char* attributes, int timeout_ms) {
  if (attributes == nullptr) return err_null_ptr;
  if (timeout_ms < 0) return err_bad_param;
  auto parsed = parse_attributes(attributes);
  if (!parsed) return parsed.error;
  const op_kind kind = parsed.value.kind == tag_kind::data ? op_kind::read : op_kind::connect;
  auto [id, tag] = tag_registry::instance().add(std::move(parsed.value));
  std::uint64_t op_id = 0;
  tag->begin(op_id);
  tag->session().enqueue(work_item{.tag = tag, .op_id = op_id, .kind = kind});
  if (timeout_ms > 0) {
    const int r = wait_for(*tag, timeout_ms);
    if (r != status_ok) {
      plc_tag_destroy(id);
      return r;
    }
  }
  return id;
}

int plc_tag_destroy(std::int32_t tag) {
  const auto t = tag_registry::instance().remove(tag);
  if (!t) return err_not_found;
  t->cancel(err_abort);
  return status_ok;
}

int plc_tag_status(std::int32_t tag) {
  const auto t = find(tag);
  if (!t) return err_not_found;
  const int s = t->status();
  if (s == status_pending) t->session().kick();
  return s;
}

int plc_tag_read(std::int32_t tag, int timeout_ms) {
  const auto t = find(tag);
  if (!t) return err_not_found;
  switch (t->attributes().kind) {
    case tag_kind::data: return start(tag, timeout_ms, op_kind::read);
    case tag_kind::listing: return start(tag, timeout_ms, op_kind::list);
    case tag_kind::raw: break;
  }
  return err_unsupported;
}

int plc_tag_write(std::int32_t tag, int timeout_ms) {
  const auto t = find(tag);
  if (!t) return err_not_found;
  switch (t->attributes().kind) {
    case tag_kind::data: return start(tag, timeout_ms, op_kind::write);
    case tag_kind::raw: return start(tag, timeout_ms, op_kind::raw);
    case tag_kind::listing: break;
  }
  return err_unsupported;
}

int plc_tag_abort(std::int32_t tag) {
  const auto t = find(tag);
  if (!t) return err_not_found;
  t->cancel(err_abort);
  return status_ok;
}

int plc_tag_get_size(std::int32_t tag) {
  const auto t = find(tag);
  if (!t) return err_not_found;
  return t->with_data([](byte_buffer& data, tag_type&) { return static_cast<int>(data.size()); });
}

int plc_tag_set_size(std::int32_t tag, int new_size) {
  const auto t = find(tag);
  if (!t) return err_not_found;
  if (new_size < 0) return err_bad_param;
  if (t->status() == status_pending) return err_busy;
  return t->with_data([&](byte_buffer& data, tag_type&) {
    const int old = static_cast<int>(data.size());
    data.resize(static_cast<std::size_t>(new_size), 0);
    return old;
  });
}

int plc_tag_get_bit(std::int32_t tag, int offset_bit) {
  const auto t = find(tag);
  if (!t) return err_not_found;
  const int r = t->with_data([&](byte_buffer& data, tag_type&) {
    if (offset_bit < 0 || static_cast<std::size_t>(offset_bit / 8) >= data.size()) return err_out_of_bounds;
    return (data[offset_bit / 8] >> (offset_bit % 8)) & 1;
  });
  if (r < 0) t->note(r);
  return r;
}

int plc_tag_set_bit(std::int32_t tag, int offset_bit, int value) {
  const auto t = find(tag);
  if (!t) return err_not_found;
  return t->with_data([&](byte_buffer& data, tag_type&) {
    if (offset_bit < 0 || static_cast<std::size_t>(offset_bit / 8) >= data.size()) return err_out_of_bounds;
    const auto mask = static_cast<std::uint8_t>(1u << (offset_bit % 8));
    if (value != 0) data[offset_bit / 8] |= mask;
    else data[offset_bit / 8] &= static_cast<std::uint8_t>(~mask);
    return status_ok;
  });
}

std::uint64_t plc_tag_get_uint64(std::int32_t tag, int offset) { return get_value<std::uint64_t>(tag, offset); }
int plc_tag_set_uint64(std::int32_t tag, int offset, std::uint64_t value) { return set_value(tag, offset, value); }
std::int64_t plc_tag_get_int64(std::int32_t tag, int offset) { return get_value<std::int64_t>(tag, offset); }
int plc_tag_set_int64(std::int32_t tag, int offset, std::int64_t value) { return set_value(tag, offset, value); }
std::uint32_t plc_tag_get_uint32(std::int32_t tag, int offset) { return get_value<std::uint32_t>(tag, offset); }
int plc_tag_set_uint32(std::int32_t tag, int offset, std::uint32_t value) { return set_value(tag, offset, value); }
std::int32_t plc_tag_get_int32(std::int32_t tag, int offset) { return get_value<std::int32_t>(tag, offset); }
int plc_tag_set_int32(std::int32_t tag, int offset, std::int32_t value) { return set_value(tag, offset, value); }
std::uint16_t plc_tag_get_uint16(std::int32_t tag, int offset) { return get_value<std::uint16_t>(tag, offset); }
int plc_tag_set_uint16(std::int32_t tag, int offset, std::uint16_t value) { return set_value(tag, offset, value); }
std::int16_t plc_tag_get_int16(std::int32_t tag, int offset) { return get_value<std::int16_t>(tag, offset); }
int plc_tag_set_int16(std::int32_t tag, int offset, std::int16_t value) { return set_value(tag, offset, value); }
std::uint8_t plc_tag_get_uint8(std::int32_t tag, int offset) { return get_value<std::uint8_t>(tag, offset); }
int plc_tag_set_uint8(std::int32_t tag, int offset, std::uint8_t value) { return set_value(tag, offset, value); }
std::int8_t plc_tag_get_int8(std::int32_t tag, int offset) { return get_value<std::int8_t>(tag, offset); }
int plc_tag_set_int8(std::int32_t tag, int offset, std::int8_t value) { return set_value(tag, offset, value); }
double plc_tag_get_float64(std::int32_t tag, int offset) { return get_value<double>(tag, offset); }
int plc_tag_set_float64(std::int32_t tag, int offset, double value) { return set_value(tag, offset, value); }
float plc_tag_get_float32(std::int32_t tag, int offset) { return get_value<float>(tag, offset); }
int plc_tag_set_float32(std::int32_t tag, int offset, float value) { return set_value(tag, offset, value); }

int plc_tag_get_string_length(std::int32_t tag, int string_start_offset) {
  return string_length(tag, string_start_offset);
}

int plc_tag_get_string_total_length(std::int32_t tag, int string_start_offset) {
  const int n = string_length(tag, string_start_offset);
  return n < 0 ? n : n + 2;
}

int plc_tag_get_string(std::int32_t tag, int string_start_offset, char* buffer, int buffer_length) {
  if (buffer == nullptr) return err_null_ptr;
  const auto t = find(tag);
  if (!t) return err_not_found;
  return t->with_data([&](byte_buffer& data, tag_type&) {
    if (!in_buffer(data, string_start_offset, 2)) return err_out_of_bounds;
    const std::size_t length = get_u16(data.data() + string_start_offset);
    if (!in_buffer(data, string_start_offset + 2, length)) return err_out_of_bounds;
    if (buffer_length < 0 || length + 1 > static_cast<std::size_t>(buffer_length)) return err_too_small;
    std::memcpy(buffer, data.data() + string_start_offset + 2, length);
    buffer[length] = '\0';
    return status_ok;
  });
}

}  // namespace kvt::plc::eip
