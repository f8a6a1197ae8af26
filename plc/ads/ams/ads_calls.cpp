// The exported ADS calls: checks of the arguments and the port, then one
// Read or Read Write request on the target host's shared connection.
#include <cstring>
#include <limits>
#include <mutex>

#include "plc/ads/ams/connection.hpp"
#include "plc/ads/ams/frames.hpp"
#include "plc/ads/ams/routing.hpp"
#include "plc/ads/ams/tc_ads_api.h"

namespace {

namespace ams = kvt::plc::ads::ams;

constexpr std::uint16_t first_port = 32768;

std::mutex port_mutex;
unsigned open_count = 0;           // guarded by port_mutex
std::uint16_t local_port = 0;      // guarded by port_mutex
std::uint16_t next_port = first_port;

// The local address while the port is open.
bool local_address(ams::address& out) {
  std::lock_guard lock(port_mutex);
  if (open_count == 0) return false;
  out.net = ams::local_net_id();
  out.port = local_port;
  return true;
}

bool fits(unsigned long v) { return v <= std::numeric_limits<std::uint32_t>::max(); }

ams::address target_of(const AmsAddr& a) {
  ams::address t;
  std::memcpy(t.net.data(), a.netId.b, t.net.size());
  t.port = a.port;
  return t;
}

// How much data a reply may carry for the read length asked for.
enum class fill {
  up_to,    // at most the read length: a longer answer is an error (0x741)
  exactly,  // the whole read length, else 0x705
};

// A sum read or sum write answers its items in one block, so a short one
// would leave the caller unable to tell whose data are missing.
fill fill_for_read_write(unsigned long group) {
  return group == ams::index_group_sum_read || group == ams::index_group_sum_write ? fill::exactly : fill::up_to;
}

// Sends one request and copies the reply's data into `out` (`capacity`
// bytes, filled as `rule` says).
long exchange(const AmsAddr& target, std::uint32_t capacity, fill rule, void* out,
              const std::function<std::vector<std::uint8_t>(const ams::address&, const ams::address&,
                                                            std::uint32_t)>& build) {
  ams::address source;
  if (!local_address(source)) return ams::error_port_not_open;
  const auto to = target_of(target);
  const auto c = ams::connection_for(to.net);
  const auto answer = c->transact([&](std::uint32_t invoke) { return build(to, source, invoke); });
  if (answer.error != 0) return static_cast<long>(answer.error);
  const auto r = ams::decode_read_reply(answer.data);
  if (!r) return ams::error_client;
  if (r->result != 0) return static_cast<long>(r->result);
  if (rule == fill::exactly && r->data.size() != capacity) return ams::error_invalid_size;
  if (r->data.size() > capacity) return ams::error_client;
  if (!r->data.empty()) std::memcpy(out, r->data.data(), r->data.size());
  return 0;
}

}  // namespace

extern "C" {

long AdsPortOpen(void) {
  std::lock_guard lock(port_mutex);
  if (open_count++ == 0) {
    local_port = next_port;
    next_port = next_port == std::numeric_limits<std::uint16_t>::max() ? first_port
                                                                      : static_cast<std::uint16_t>(next_port + 1);
  }
  return local_port;
}

long AdsPortClose(void) {
  {
    std::lock_guard lock(port_mutex);
    if (open_count == 0) return ams::error_port_not_open;
    if (--open_count > 0) return 0;
    local_port = 0;
  }
  ams::close_all_connections();
  return 0;
}

long AdsGetLocalAddress(PAmsAddr pAddr) {
  if (pAddr == nullptr) return ams::error_invalid_parameter;
  ams::address a;
  if (!local_address(a)) return ams::error_port_not_open;
  std::memcpy(pAddr->netId.b, a.net.data(), a.net.size());
  pAddr->port = a.port;
  return 0;
}

long AdsSyncReadReq(PAmsAddr pAddr, unsigned long nIndexGroup, unsigned long nIndexOffset, unsigned long nLength,
                    void* pData) {
  if (pAddr == nullptr || (pData == nullptr && nLength > 0) || !fits(nIndexGroup) || !fits(nIndexOffset) ||
      !fits(nLength))
    return ams::error_invalid_parameter;
  const auto length = static_cast<std::uint32_t>(nLength);
  return exchange(*pAddr, length, fill::up_to, pData,
                  [&](const ams::address& to, const ams::address& from, std::uint32_t id) {
                    return ams::encode_read_request(to, from, id, static_cast<std::uint32_t>(nIndexGroup),
                                                    static_cast<std::uint32_t>(nIndexOffset), length);
                  });
}

long AdsSyncReadWriteReq(PAmsAddr pAddr, unsigned long nIndexGroup, unsigned long nIndexOffset,
                         unsigned long nReadLength, void* pReadData, unsigned long nWriteLength, void* pWriteData) {
  if (pAddr == nullptr || (pReadData == nullptr && nReadLength > 0) || (pWriteData == nullptr && nWriteLength > 0) ||
      !fits(nIndexGroup) || !fits(nIndexOffset) || !fits(nReadLength) || !fits(nWriteLength))
    return ams::error_invalid_parameter;
  const auto read_length = static_cast<std::uint32_t>(nReadLength);
  const std::span<const std::uint8_t> write(static_cast<const std::uint8_t*>(pWriteData), nWriteLength);
  return exchange(*pAddr, read_length, fill_for_read_write(nIndexGroup), pReadData,
                  [&](const ams::address& to, const ams::address& from, std::uint32_t id) {
                    return ams::encode_read_write_request(to, from, id, static_cast<std::uint32_t>(nIndexGroup),
                                                          static_cast<std::uint32_t>(nIndexOffset), read_length,
                                                          write);
                  });
}

}  // extern "C"
