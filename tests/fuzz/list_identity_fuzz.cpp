// Fuzz target: EtherNet/IP List Identity replies, and the "DeviceDiscovered"
// event the page is sent for the device in them. The input is the reply
// datagram; the sender's address comes from its first four bytes. Checked:
// - nothing is read beyond the datagram (AddressSanitizer);
// - a reply is taken only when it holds every field up to the state byte;
//   vendor and device type are the little-endian words at 48 and 50; the
//   name is at most the length byte at 62 long, holds no zero byte and is
//   followed by the state byte (one place later when a zero ended it);
// - the event is one valid JSON object in valid UTF-8 whose fields give the
//   device back: id, address, vendor and type names, and the product name.
#include <simdjson.h>

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "plc/devices/list_identity.hpp"
#include "server/handlers/websocket_discover_responder.hpp"
#include "support/check.hpp"
#include "support/json_check.hpp"

namespace {

namespace eip = kvt::plc::eip::devices;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  const std::span<const std::uint8_t> datagram(bytes, size);
  const std::string ip = size >= 4 ? std::to_string(bytes[0]) + "." + std::to_string(bytes[1]) + "." +
                                         std::to_string(bytes[2]) + "." + std::to_string(bytes[3])
                                   : "192.0.2.1";
  const auto device = eip::parse_identity_reply(datagram, ip);

  const std::size_t name_at = eip::reply_offset::name;
  if (size <= name_at) {
    KVT_FUZZ_CHECK(!device, "a %zu-byte datagram was taken as a reply", size);
    return 0;
  }
  const std::size_t length = bytes[eip::reply_offset::name_length];
  std::size_t end = name_at;  // one past the name's last byte
  while (end < size && end - name_at < length && bytes[end] != 0) ++end;
  const bool ended_by_zero = end < size && end - name_at < length && bytes[end] == 0;
  const std::size_t state_at = ended_by_zero ? end + 1 : end;
  const bool complete = (ended_by_zero || end - name_at == length) && state_at < size;
  KVT_FUZZ_CHECK(device.has_value() == complete, "a reply whose fields %s was %s", complete ? "are all there" : "run short",
                 device ? "taken" : "refused");
  if (!device) return 0;

  KVT_FUZZ_CHECK(device->ip == ip, "the address became %s", device->ip.c_str());
  KVT_FUZZ_CHECK(device->vendor == (bytes[48] | bytes[49] << 8), "vendor %u", device->vendor);
  KVT_FUZZ_CHECK(device->device_type == (bytes[50] | bytes[51] << 8), "device type %u", device->device_type);
  const std::string_view name(reinterpret_cast<const char*>(bytes) + name_at, end - name_at);
  KVT_FUZZ_CHECK(device->product_name == name, "product name of %zu bytes, %zu expected", device->product_name.size(),
                 name.size());
  KVT_FUZZ_CHECK(device->state == bytes[state_at], "state 0x%02X, 0x%02X expected", device->state, bytes[state_at]);

  const std::int32_t id = static_cast<std::int32_t>(size);
  const std::string event = kvt::server::device_discovered_event(id, *device);
  simdjson::dom::element root;
  std::string why;
  KVT_FUZZ_CHECK(kvt::fuzz::parse_json(event, root, why), "the DeviceDiscovered event is not valid JSON (%s): %s",
                 why.c_str(), kvt::fuzz::printable(event).c_str());
  std::string_view type, vendor, device_type, address, product;
  std::int64_t event_id = 0;
  const simdjson::dom::element data = root["data"];
  KVT_FUZZ_CHECK(!root["type"].get(type) && type == "DeviceDiscovered" && !data["id"].get(event_id) &&
                     event_id == id && !data["ip"].get(address) && address == ip && !data["vendor"].get(vendor) &&
                     vendor == eip::vendor_name(device->vendor) && !data["type"].get(device_type) &&
                     device_type == eip::device_type_name(device->device_type) && !data["productName"].get(product),
                 "the event does not give the device back: %s", kvt::fuzz::printable(event).c_str());
  // A name that is itself valid UTF-8 must arrive unchanged.
  if (simdjson::validate_utf8(device->product_name.data(), device->product_name.size()))
    KVT_FUZZ_CHECK(product == device->product_name, "the product name arrives as %s",
                   kvt::fuzz::printable(product).c_str());
  return 0;
}
