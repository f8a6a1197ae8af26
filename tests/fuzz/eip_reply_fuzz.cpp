// Fuzz target: EtherNet/IP replies as the tag layer decodes them. The input
// is taken as a whole reply packet (encapsulation header and body) and its
// parts, each fed to the decoder that would meet it: the encapsulation
// header, Register Session, Send RR Data and Send Unit Data bodies, CIP
// replies, Read Tag data, Multiple Service Packet replies, Forward Open
// replies and symbol listing pages. The first input byte also picks the
// number of services a packet reply is expected to hold.
// Checked:
// - nothing is read beyond the input (AddressSanitizer);
// - every decoder accepts exactly the inputs whose lengths add up, and the
//   spans it gives back lie inside the input, in order and without overlap;
// - a failure is always err_bad_reply (or err_bad_connection for a
//   refused session);
// - a tag operation fed the input as its reply (a read, a write, a listing
//   page, a raw request) ends, asks for more or fails, and a read that
//   ends holds exactly the value bytes of the reply.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "plc/eip/tags/frames.hpp"
#include "plc/eip/tags/operation.hpp"
#include "plc/eip/tags/plc_tag.hpp"
#include "support/check.hpp"

namespace {

namespace eip = kvt::plc::eip;
using eip::byte_span;

bool inside(byte_span part, byte_span whole) {
  if (part.empty()) return true;
  return part.data() >= whole.data() && part.data() + part.size() <= whole.data() + whole.size();
}

void check_cip_reply(byte_span message) {
  const auto r = eip::parse_cip_reply(message);
  const bool complete = message.size() >= 4 && (message[0] & 0x80) != 0 && message.size() >= 4 + 2u * message[3];
  KVT_FUZZ_CHECK(bool(r) == complete, "a %zu-byte CIP reply was %s", message.size(), r ? "taken" : "refused");
  if (!r) {
    KVT_FUZZ_CHECK(r.error == eip::err_bad_reply, "error %d", r.error);
    return;
  }
  KVT_FUZZ_CHECK(r.value.data.size() == message.size() - 4 - 2u * message[3] && inside(r.value.data, message),
                 "reply data of %zu bytes", r.value.data.size());
  KVT_FUZZ_CHECK(r.value.general_status == message[2], "general status");
  eip::tag_type type;
  const auto value = eip::split_tag_data(r.value.data, type);
  if (value) {
    KVT_FUZZ_CHECK(type.size == 2 || type.size == 4, "type field of %u bytes", type.size);
    KVT_FUZZ_CHECK(value.value.size() + type.size == r.value.data.size() && inside(value.value, message),
                   "tag data of %zu bytes", value.value.size());
  } else {
    KVT_FUZZ_CHECK(r.value.data.size() < 4, "tag data of %zu bytes refused", r.value.data.size());
  }
}

void check_msp(byte_span data, std::size_t expected) {
  static std::vector<byte_span> items;
  const int e = eip::split_msp_reply(data, expected, items);
  if (e != eip::status_ok) {
    KVT_FUZZ_CHECK(e == eip::err_bad_reply, "error %d", e);
    return;
  }
  KVT_FUZZ_CHECK(items.size() == expected, "%zu replies, %zu expected", items.size(), expected);
  const std::uint8_t* previous_end = data.data() + 2 + 2 * expected;
  for (const byte_span item : items) {
    KVT_FUZZ_CHECK(item.size() >= 4 && inside(item, data) && item.data() >= previous_end, "a reply out of place");
    previous_end = item.data() + item.size();
    check_cip_reply(item);
  }
  if (!items.empty()) KVT_FUZZ_CHECK(previous_end == data.data() + data.size(), "the last reply ends early");
}

void check_listing(byte_span data) {
  const auto page = eip::check_listing_page(data);
  // Walk the entries the way the listing's readers do.
  std::size_t at = 0, entries = 0;
  std::uint32_t last = 0;
  bool complete = true;
  while (at < data.size()) {
    if (data.size() - at < eip::listing_entry_fixed) {
      complete = false;
      break;
    }
    const std::size_t name = eip::get_u16(data.data() + at + 20);
    if (data.size() - at - eip::listing_entry_fixed < name) {
      complete = false;
      break;
    }
    last = eip::get_u32(data.data() + at);
    at += eip::listing_entry_fixed + name;
    ++entries;
  }
  KVT_FUZZ_CHECK(bool(page) == complete, "a listing page of %zu bytes was %s", data.size(), page ? "taken" : "refused");
  if (page) KVT_FUZZ_CHECK(page.value.entries == entries && page.value.last_instance == last, "entries miscounted");
}

// The input as the reply to the first request of each kind of operation.
void check_operations(byte_span input) {
  static constexpr eip::op_kind kinds[] = {eip::op_kind::read, eip::op_kind::write, eip::op_kind::list,
                                           eip::op_kind::raw};
  const std::uint8_t services[] = {eip::service::read_tag, eip::service::write_tag,
                                   eip::service::get_instance_attribute_list, 0x01};
  for (std::size_t k = 0; k < 4; ++k) {
    eip::tag_attributes a;
    a.elem_size = input.size() > 1 ? input[1] % 9 : 4;
    a.elem_count = 1;
    a.path = {0x91, 0x02, 'A', 'B'};
    a.kind = kinds[k] == eip::op_kind::list ? eip::tag_kind::listing
             : kinds[k] == eip::op_kind::raw ? eip::tag_kind::raw
                                             : eip::tag_kind::data;
    const std::size_t initial = std::size_t{a.elem_size} * a.elem_count;
    auto tag = std::make_shared<eip::tag_state>(std::move(a), nullptr);
    eip::work_item item{.tag = tag, .op_id = 0, .kind = kinds[k], .started = true, .service = services[k]};
    const int r = eip::apply_reply(item, input);
    KVT_FUZZ_CHECK(r == eip::status_ok || r == eip::status_pending || r < 0, "result %d", r);
    const std::size_t size = tag->with_data([](eip::byte_buffer& d, eip::tag_type&) { return d.size(); });
    if (kinds[k] == eip::op_kind::read && r == eip::status_ok) {
      const auto reply = eip::parse_cip_reply(input);
      eip::tag_type type;
      const auto value = eip::split_tag_data(reply.value.data, type);
      KVT_FUZZ_CHECK(reply && value && size == value.value.size(), "a read of %zu bytes kept %zu", value.value.size(),
                     size);
    }
    if (kinds[k] == eip::op_kind::raw && r == eip::status_ok)
      KVT_FUZZ_CHECK(size == input.size(), "a raw reply of %zu bytes kept as %zu", input.size(), size);
    if (kinds[k] == eip::op_kind::list && r != eip::status_ok && r != eip::status_pending)
      KVT_FUZZ_CHECK(size == initial, "a refused listing page left %zu bytes of %zu", size, initial);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  const byte_span input(bytes, size);
  const std::size_t expected = size > 0 ? bytes[0] % 8 : 0;

  const auto header = eip::parse_encap_header(input);
  KVT_FUZZ_CHECK(bool(header) == (size >= eip::encap::header_size), "a %zu-byte header was %s", size,
                 header ? "taken" : "refused");
  const byte_span body = size >= eip::encap::header_size ? input.subspan(eip::encap::header_size) : byte_span{};
  if (header) {
    const auto session = eip::parse_register_reply(header.value, body);
    if (session) {
      KVT_FUZZ_CHECK(session.value != 0 && body.size() == 4 && header.value.status == 0, "a register reply");
    } else {
      KVT_FUZZ_CHECK(session.error == eip::err_bad_reply || session.error == eip::err_bad_connection, "error %d",
                     session.error);
    }
  }

  // The same bytes as the body of either packet kind, and the messages in it.
  for (const byte_span b : {body, input}) {
    const auto rr = eip::parse_rr_data(b);
    if (rr) {
      KVT_FUZZ_CHECK(inside(rr.value, b), "the unconnected message lies outside the body");
      check_cip_reply(rr.value);
    }
    const auto unit = eip::parse_unit_data(b);
    if (unit) {
      KVT_FUZZ_CHECK(inside(unit.value.message, b), "the connected message lies outside the body");
      check_cip_reply(unit.value.message);
      const auto reply = eip::parse_cip_reply(unit.value.message);
      if (reply) check_msp(reply.value.data, expected);
    }
  }

  check_cip_reply(input);
  check_msp(input, expected);
  check_operations(input);
  check_listing(input);
  const auto fo = eip::parse_forward_open_reply(input);
  KVT_FUZZ_CHECK(bool(fo) == (size >= 26 && size >= 26 + 2u * bytes[24]), "a %zu-byte Forward Open reply was %s",
                 size, fo ? "taken" : "refused");
  return 0;
}
