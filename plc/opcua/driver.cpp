#include "plc/opcua/driver.hpp"

#include <algorithm>

#include "platform/clock.hpp"
#include "plc/connection_params.hpp"
#include "plc/scan_pacing.hpp"
#include "plc/value_type.hpp"

namespace kvt::plc::opcua {

namespace {

// Longest single sleep while pausing between reconnection attempts, so that
// a stop request is noticed within it.
constexpr std::uint64_t pause_slice_us = 10'000;

// Results after which the session cannot be trusted: the scan closes the
// client and opens a new session (a late answer to a timed-out request
// would otherwise be taken for the next one).
bool session_lost(UA_StatusCode code) noexcept {
  switch (code) {
    case UA_STATUSCODE_BADCONNECTIONCLOSED:
    case UA_STATUSCODE_BADSECURECHANNELCLOSED:
    case UA_STATUSCODE_BADSECURECHANNELIDINVALID:
    case UA_STATUSCODE_BADSESSIONCLOSED:
    case UA_STATUSCODE_BADSESSIONIDINVALID:
    case UA_STATUSCODE_BADSESSIONNOTACTIVATED:
    case UA_STATUSCODE_BADNOTCONNECTED:
    case UA_STATUSCODE_BADSERVERNOTCONNECTED:
    case UA_STATUSCODE_BADCOMMUNICATIONERROR:
    case UA_STATUSCODE_BADTIMEOUT: return true;
    default: return false;
  }
}

}  // namespace

driver::driver() : client_(service_timeout_ms) {}

driver::~driver() {
  halt();
  link_up_.store(false);
}

std::int32_t driver::protocol() const noexcept { return plc::protocol::opcua; }

void driver::configure(const connection_params& params) {
  host_ = params.host;
  port_.store(params.port);
  scan_rate_.store(params.scan_rate);
}

connection_params driver::parameters() const {
  connection_params p;
  p.protocol = plc::protocol::opcua;
  p.host = host_;
  p.port = port_.load();
  p.scan_rate = scan_rate_.load();
  return p;
}

std::optional<std::string> driver::endpoint() const { return endpoint_url(host_, port_.load()); }

bool driver::connect() {
  halt();  // from here on this thread alone uses the client
  std::lock_guard lock(client_mutex_);
  link_up_.store(false);
  client_.disconnect();
  const std::optional<std::string> url = endpoint();
  if (!url) return false;
  url_ = *url;
  if (!open_session()) {
    client_.disconnect();
    return false;
  }
  link_up_.store(true);
  start();
  return true;
}

void driver::disconnect() {
  stop();
  std::lock_guard lock(client_mutex_);
  link_up_.store(false);
  client_.disconnect();
}

void driver::scan() {
  const std::uint64_t period_us = scan_period_us(scan_rate_.load());
  while (!stop_requested()) {
    if (!link_up_.load()) {
      if (reconnect()) continue;
      // Unreachable for the whole back-off, or asked to stop.
      fail_scan();
      return;
    }

    const std::uint64_t t0 = platform::monotonic_ns();
    const outcome wrote = write_phase();
    const std::uint32_t write_us = platform::elapsed_us(t0, platform::monotonic_ns());
    inputs().write_time.store(write_us);
    if (wrote == outcome::link_lost) {
      link_up_.store(false);
      continue;
    }

    pace_scan(timer(), scan_wait_us(period_us, outputs().read_time.load(), write_us));

    const std::uint64_t t2 = platform::monotonic_ns();
    const outcome got = read_phase();
    outputs().read_time.store(platform::elapsed_us(t2, platform::monotonic_ns()));
    if (got == outcome::link_lost) link_up_.store(false);
  }
}

bool driver::reconnect() {
  for (int attempt = 0; attempt < reconnect_attempts; ++attempt) {
    if (stop_requested()) return false;
    client_.disconnect();
    if (open_session()) {
      link_up_.store(true);
      return true;
    }
    if (attempt + 1 < reconnect_attempts && !pause_unless_stopped(first_reconnect_pause_us << attempt)) return false;
  }
  client_.disconnect();
  return false;
}

bool driver::open_session() {
  limits_ = {};
  if (client_.connect(url_) != UA_STATUSCODE_GOOD || !client_.session_active()) return false;
  // Another server may answer at the same URL after a restart: its limits
  // are read afresh for every session.
  limits_ = read_operation_limits(client_.get());
  return true;
}

bool driver::pause_unless_stopped(std::uint64_t us) {
  while (us > 0) {
    if (stop_requested()) return false;
    const std::uint64_t slice = std::min(us, pause_slice_us);
    platform::sleep_us(timer(), slice);
    us -= slice;
  }
  return !stop_requested();
}

driver::outcome driver::judge(UA_StatusCode service_result) {
  if (service_result == UA_STATUSCODE_GOOD) return outcome::ok;
  if (session_lost(service_result) || !client_.session_active()) return outcome::link_lost;
  return outcome::refused;
}

driver::outcome driver::write_phase() {
  auto& in = inputs();
  write_.clear();
  {
    std::lock_guard lock(in.mutex);
    write_.generation = in.generation;
    const std::size_t n = std::min(in.tags.size(), in.handles.size());
    for (std::size_t i = 0; i < n; ++i) {
      if (!in.dirty[i]) continue;
      const std::uint32_t type = tag_type(in.tags[i]);
      const handle_ptr& node = in.handles[i];
      // A signal without a usable node id or type can never be written.
      if (!supported_type(type) || !node || !node->valid()) continue;
      in.dirty[i] = false;
      write_.add(static_cast<std::uint32_t>(i), type, in.values[i], node);
    }
  }
  if (write_.empty()) return outcome::ok;

  const std::size_t total = write_.size();
  std::size_t done = 0;  // items of the calls the server has taken
  outcome result = outcome::ok;
  while (done < total) {
    const std::size_t count = call_size(total, done, limits_.nodes_per_write);
    response<UA_WriteResponse> answer(UA_TYPES[UA_TYPES_WRITERESPONSE]);
    writes_.fetch_add(1, std::memory_order_relaxed);
    __UA_Client_Service(client_.get(), &write_.prepare(done, count), &UA_TYPES[UA_TYPES_WRITEREQUEST], &answer.get(),
                        &UA_TYPES[UA_TYPES_WRITERESPONSE]);
    result = judge(answer.get().responseHeader.serviceResult);
    if (result == outcome::ok && answer.get().resultsSize != count) result = outcome::refused;
    if (result != outcome::ok) break;
    done += count;  // a node the server refuses is not written again
  }
  if (result == outcome::ok) return result;

  // The values of the failed call and of the calls after it did not arrive:
  // they go out again in a later cycle, unless the inputs were rebound
  // meanwhile.
  std::lock_guard lock(in.mutex);
  if (in.generation == write_.generation)
    for (std::size_t j = done; j < total; ++j) in.dirty[write_.signal(j)] = true;
  return result;
}

driver::outcome driver::read_phase() {
  auto& out = outputs();
  std::uint64_t generation = 0;
  {
    std::lock_guard lock(out.mutex);
    generation = out.generation;
    if (read_generation_ != generation) {
      read_.rebuild(out.tags, out.handles);  // only after a rebinding
      read_generation_ = generation;
    }
  }

  // Nothing is stored unless every call of the cycle succeeded, so that the
  // outputs the page sees always come from one whole read phase.
  std::vector<staged_value>& staged = read_.staged();
  const std::size_t total = read_.size();
  for (std::size_t first = 0; first < total;) {
    const std::size_t count = call_size(total, first, limits_.nodes_per_read);
    response<UA_ReadResponse> answer(UA_TYPES[UA_TYPES_READRESPONSE]);
    reads_.fetch_add(1, std::memory_order_relaxed);
    __UA_Client_Service(client_.get(), &read_.prepare(first, count), &UA_TYPES[UA_TYPES_READREQUEST], &answer.get(),
                        &UA_TYPES[UA_TYPES_READRESPONSE]);
    const outcome result = judge(answer.get().responseHeader.serviceResult);
    if (result != outcome::ok) return result;
    if (answer.get().resultsSize != count) return outcome::refused;  // nothing stored
    for (std::size_t j = 0; j < count; ++j) {
      const UA_DataValue& r = answer.get().results[j];
      const bool good = !r.hasStatus || UA_StatusCode_isGood(r.status);
      staged[first + j] = r.hasValue && good ? stage_variant(r.value) : staged_value{};
    }
    first += count;
  }

  std::lock_guard lock(out.mutex);
  if (out.generation != generation) return outcome::ok;  // rebound during the read
  for (std::size_t j = 0; j < read_.size(); ++j) {
    // A node that did not deliver keeps its last value rather than showing
    // the page a 0 the server never had.
    const std::uint32_t i = read_.signal(j);
    out.values[i] = store_value(read_.type(j), staged[j], out.values[i]);
  }
  out.read_count.fetch_add(1);
  return outcome::ok;
}

}  // namespace kvt::plc::opcua
