#include "plc/s7/driver.hpp"

#include <snap7.h>

#include <mutex>
#include <optional>
#include <span>

#include "platform/clock.hpp"
#include "plc/connection_params.hpp"
#include "plc/s7/batching.hpp"
#include "plc/s7/host_address.hpp"
#include "plc/s7/item_list.hpp"
#include "plc/s7/read_plan.hpp"
#include "plc/s7/tag.hpp"
#include "plc/s7/value_codec.hpp"
#include "plc/s7/write_plan.hpp"
#include "plc/scan_pacing.hpp"

namespace kvt::plc::s7 {

namespace {

constexpr std::uint64_t reconnect_pause_us = 10'000;
constexpr std::int32_t max_rack = 7;
constexpr std::int32_t max_slot = 31;
constexpr std::uint16_t connection_type_op = 0x02;

// The smallest PDU in which any single item can still be read and written.
constexpr int smallest_usable_pdu = 4 - payload_budget(0, 1, request_kind::write);
static_assert(smallest_usable_pdu >= 4 - payload_budget(0, 1, request_kind::read));

// The controller's TSAP: connection type in the high byte, then rack (3 bits)
// and slot (5 bits). Racks and slots that do not fit address no controller.
std::optional<std::uint16_t> remote_tsap(std::int32_t rack, std::int32_t slot) noexcept {
  if (rack < 0 || rack > max_rack || slot < 0 || slot > max_slot) return std::nullopt;
  return static_cast<std::uint16_t>(connection_type_op << 8 | rack << 5 | slot);
}

// A failure of the transport rather than of the request: after it the
// stream cannot be trusted (a late answer would be taken for the next one),
// and the library itself notices only a reset by the peer, not a time-out.
bool transport_failure(int code) noexcept {
  return (static_cast<unsigned>(code) & 0x000F'FFFFu) != 0 || static_cast<longword>(code) == errCliInvalidPlcAnswer;
}

}  // namespace

driver::driver() : read_plan_(std::make_unique<read_plan>()), write_plan_(std::make_unique<write_plan>()) {}

driver::~driver() {
  halt();
  link_up_.store(false);
}

std::int32_t driver::protocol() const noexcept { return plc::protocol::s7; }

void driver::configure(const connection_params& params) {
  host_ = params.host;
  rack_.store(params.rack);
  slot_.store(params.slot);
  port_.store(params.port);
  scan_rate_.store(params.scan_rate);
}

connection_params driver::parameters() const {
  connection_params p;
  p.protocol = plc::protocol::s7;
  p.host = host_;
  p.type = "s7";
  p.rack = rack_.load();
  p.slot = slot_.load();
  p.port = port_.load();
  p.scan_rate = scan_rate_.load();
  return p;
}

bool driver::connect() {
  halt();  // from here on this thread alone uses the client
  link_up_.store(false);
  pdu_length_.store(0);
  S7Object c = client_.get();
  Cli_Disconnect(c);

  const std::optional<std::uint16_t> tsap = remote_tsap(rack_.load(), slot_.load());
  const std::int32_t port = port_.load() == 0 ? default_port : port_.load();
  if (!tsap || port < 1 || port > 0xFFFF) return false;
  const std::optional<std::string> address = ipv4_address_of(host_);
  if (!address) return false;

  auto remote_port = static_cast<std::uint16_t>(port);
  if (Cli_SetParam(c, p_u16_RemotePort, &remote_port) != 0) return false;
  if (Cli_SetConnectionParams(c, address->c_str(), local_tsap, *tsap) != 0) return false;
  if (Cli_Connect(c) != 0) return false;
  if (!take_pdu_length()) return false;
  link_up_.store(true);
  start();
  return true;
}

void driver::disconnect() {
  stop();
  link_up_.store(false);
  pdu_length_.store(0);
  Cli_Disconnect(client_.get());
}

void driver::scan() {
  const std::uint64_t period_us = scan_period_us(scan_rate_.load());
  while (!stop_requested()) {
    if (!link_alive()) {
      // The exchange pauses, bindings and dirty inputs kept, until the
      // controller answers again.
      reconnect();
      if (!link_up_.load()) platform::sleep_us(timer(), reconnect_pause_us);
      continue;
    }

    const std::uint64_t t0 = platform::monotonic_ns();
    write_phase();
    const std::uint32_t write_us = platform::elapsed_us(t0, platform::monotonic_ns());
    inputs().write_time.store(write_us);

    pace_scan(timer(), scan_wait_us(period_us, outputs().read_time.load(), write_us));

    const std::uint64_t t2 = platform::monotonic_ns();
    if (link_up_.load()) read_phase();
    outputs().read_time.store(platform::elapsed_us(t2, platform::monotonic_ns()));
  }
}

bool driver::link_alive() const noexcept {
  int state = 0;
  return Cli_GetConnected(client_.get(), &state) == 0 && state > 0;
}

void driver::reconnect() {
  link_up_.store(false);
  // The address and TSAPs given at connection still apply.
  if (Cli_Connect(client_.get()) != 0) return;
  // The controller may have come back with another PDU length.
  if (!take_pdu_length()) return;
  link_up_.store(true);
}

bool driver::take_pdu_length() {
  int requested = 0;
  int negotiated = 0;
  if (Cli_GetPduLength(client_.get(), &requested, &negotiated) != 0 || negotiated < smallest_usable_pdu) {
    // Connected but unable to carry a single item: not a usable link.
    Cli_Disconnect(client_.get());
    pdu_length_.store(0);
    return false;
  }
  pdu_length_.store(negotiated);
  ++links_made_;
  return true;
}

void driver::drop_link() noexcept {
  Cli_Disconnect(client_.get());
  link_up_.store(false);
  pdu_length_.store(0);
}

void driver::write_phase() {
  write_plan& plan = *write_plan_;
  auto& in = inputs();
  const int pdu = pdu_length_.load();
  std::uint64_t generation = 0;
  {
    std::lock_guard lock(in.mutex);
    generation = in.generation;
    const plan_key key{generation, links_made_, 0, join_.load()};
    if (!plan.made_for(key)) plan.build(in.tags, key);
    const std::size_t n = in.tags.size();
    for (std::size_t i = 0; i < n; ++i) {
      const auto signal = static_cast<std::uint32_t>(i);
      if (!in.dirty[i] || !plan.carries(signal)) continue;
      in.dirty[i] = false;
      plan.take(signal, to_controller(tag_type(in.tags[i]), in.values[i]));
    }
  }
  if (plan.empty()) return;

  item_list& list = plan.make_items(pdu);
  for (;;) {
    const std::size_t sent = send(list, true);
    if (sent != list.size()) {
      // What was not acknowledged is written again in a later cycle (once
      // the link is back) rather than lost until the page changes it once
      // more.
      std::lock_guard lock(in.mutex);
      if (in.generation != generation) return;
      for (std::size_t j = sent; j < list.size(); ++j)
        for (const std::uint32_t signal : plan.signals_of(j)) in.dirty[signal] = true;
      return;
    }
    // Inputs of a joined item the controller refused go again, alone.
    if (!plan.split_refused(pdu)) return;
  }
}

void driver::read_phase() {
  read_plan& plan = *read_plan_;
  auto& out = outputs();
  std::uint64_t generation = 0;
  {
    std::lock_guard lock(out.mutex);
    generation = out.generation;
    const plan_key key{generation, links_made_, pdu_length_.load(), join_.load()};
    if (!plan.made_for(key)) plan.build(out.tags, key);
  }
  do {
    plan.list().zero_data();
    if (send(plan.list(), false) != plan.list().size()) return;  // nothing is stored from a partial read
  } while (plan.split_refused());  // read once more, with the refused joined items' signals alone

  std::lock_guard lock(out.mutex);
  if (out.generation != generation) return;  // rebound meanwhile
  plan.store(out.values);
  out.read_count.fetch_add(1);
}

std::size_t driver::send(item_list& list, bool write) {
  const int pdu = pdu_length_.load();
  const request_kind kind = write ? request_kind::write : request_kind::read;
  const std::span<TS7DataItem> items = list.items();
  S7Object c = client_.get();
  std::size_t first = 0;
  while (first < items.size()) {
    const std::span<TS7DataItem> rest = items.subspan(first);
    const std::size_t k = next_run(std::span<const TS7DataItem>(rest), pdu, kind);
    if (k == 0) return first;  // an item that no request can carry
    const int count = static_cast<int>(k);
    requests_.fetch_add(1, std::memory_order_relaxed);
    const int rc = write ? Cli_WriteMultiVars(c, rest.data(), count) : Cli_ReadMultiVars(c, rest.data(), count);
    if (rc != 0) {
      if (transport_failure(rc)) drop_link();
      return first;
    }
    first += k;
  }
  return first;
}

}  // namespace kvt::plc::s7
