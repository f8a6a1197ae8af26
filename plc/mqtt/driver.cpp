#include "plc/mqtt/driver.hpp"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string_view>
#include <thread>

#include "platform/clock.hpp"
#include "plc/connection_params.hpp"
#include "plc/mqtt/endpoint.hpp"
#include "plc/mqtt/library_trace.hpp"
#include "plc/mqtt/payload.hpp"
#include "plc/mqtt/tag.hpp"

namespace kvt::plc::mqtt {

namespace {

constexpr int keep_alive_s = 10;
constexpr int connect_timeout_s = 30;
// Messages taken from the queue per hold of the outputs' mutex, so that a
// flood never keeps the exchange thread waiting for long.
constexpr std::size_t messages_per_round = 4096;
// Empty rounds spun before the loop starts resting between rounds, and the
// rest: short enough that a changed input leaves within a fraction of a
// simulation step, long enough not to burn a core on an idle connection.
constexpr unsigned spin_rounds = 256;
constexpr auto idle_rest = std::chrono::microseconds(100);
// Idle rounds between looks at the link's state.
constexpr unsigned link_check_rounds = 64;

std::atomic<std::uint32_t> drivers_made{0};

}  // namespace

driver::driver() : client_id_(make_client_id(drivers_made.fetch_add(1))) {}

driver::~driver() {
  halt();
  close_link();
}

std::int32_t driver::protocol() const noexcept { return plc::protocol::mqtt; }

void driver::configure(const connection_params& params) {
  host_ = params.host;
  port_.store(params.port);
  username_ = params.username;
  password_ = params.password;
}

connection_params driver::parameters() const {
  connection_params p;
  p.protocol = plc::protocol::mqtt;
  p.host = host_;
  p.port = port_.load();
  p.username = username_;
  p.password = password_;
  return p;
}

bool driver::connected() const noexcept {
  std::lock_guard lock(link_mutex_);
  return client_ && MQTTClient_isConnected(client_.get()) != 0;
}

bool driver::connect() {
  halt();  // no scan and no background disconnect may run from here on
  close_link();
  // With neither the scan nor a client left, the queue has no other user.
  forget_receive_state();

  const auto where = make_endpoint(host_, port_.load());
  if (!where) return false;
  apply_library_trace();

  client c;
  if (!c.create(where->uri, client_id_)) return false;
  if (MQTTClient_setCallbacks(c.get(), this, nullptr, &driver::on_message, nullptr) != MQTTCLIENT_SUCCESS)
    return false;

  MQTTClient_connectOptions options = MQTTClient_connectOptions_initializer;
  options.keepAliveInterval = keep_alive_s;
  options.cleansession = 1;
  // Several acknowledged messages in flight at once: with only one, the
  // library sleeps 100 ms inside each publish that finds one outstanding.
  options.reliable = 0;
  options.maxInflightMessages = max_in_flight + 1;
  options.connectTimeout = connect_timeout_s;
  // A password alone is not allowed by MQTT 3.1.1.
  if (!username_.empty()) {
    options.username = username_.c_str();
    if (!password_.empty()) options.password = password_.c_str();
  }
  // The broker must prove who it is against the system's trust store (or
  // the one SSL_CERT_FILE / SSL_CERT_DIR name), host name included: the
  // connection carries the user's password.
  MQTTClient_SSLOptions tls = MQTTClient_SSLOptions_initializer;
  tls.enableServerCertAuth = 1;
  tls.verify = 1;
  if (where->tls) options.ssl = &tls;
  if (!c.connect(options)) return false;  // `c` disconnects and destroys the client

  {
    std::lock_guard lock(link_mutex_);
    client_ = std::move(c);
  }
  start();
  return true;
}

void driver::disconnect() {
  stop();
  close_link();
}

void driver::close_link() noexcept {
  client old;
  {
    std::lock_guard lock(link_mutex_);
    old = std::move(client_);
  }
  old.reset();  // outside the lock: saying goodbye may take up to a second
  while (callbacks_running_.load() != 0) std::this_thread::yield();
}

void driver::forget_receive_state() noexcept {
  queue_.discard();
  subscriptions_.clear();
  subscribed_generation_.reset();
}

int driver::on_message(void* context, char* topic, int topic_len, MQTTClient_message* message) {
  auto* self = static_cast<driver*>(context);
  self->callbacks_running_.fetch_add(1);
  struct leave {
    std::atomic<std::int32_t>& running;
    ~leave() { running.fetch_sub(1); }
  } guard{self->callbacks_running_};
  // A length of 0 means the topic is NUL-terminated.
  const std::string_view name(topic, topic_len > 0 ? static_cast<std::size_t>(topic_len) : std::strlen(topic));
  const std::string_view payload(static_cast<const char*>(message->payload),
                                 message->payloadlen > 0 ? static_cast<std::size_t>(message->payloadlen) : 0);
  // A full queue refuses the message; the library keeps it and offers it again.
  if (!self->queue_.push(name, payload)) return 0;
  self->received_.fetch_add(1, std::memory_order_relaxed);
  MQTTClient_freeMessage(&message);
  MQTTClient_free(topic);
  return 1;
}

void driver::scan() {
  MQTTClient c = nullptr;
  {
    std::lock_guard lock(link_mutex_);
    c = client_.get();
  }
  if (c == nullptr) return;

  unsigned idle_rounds = 0;
  while (!stop_requested()) {
    const std::uint64_t t0 = platform::monotonic_ns();
    const step wrote = publish_phase(c);
    inputs().write_time.store(platform::elapsed_us(t0, platform::monotonic_ns()));
    if (wrote == step::link_lost) break;

    const std::uint64_t t2 = platform::monotonic_ns();
    const step got = receive_phase(c);
    outputs().read_time.store(platform::elapsed_us(t2, platform::monotonic_ns()));
    if (got == step::link_lost) break;

    if (wrote == step::busy || got == step::busy) {
      idle_rounds = 0;
      continue;
    }
    ++idle_rounds;
    // The library notices a dropped link on its own thread; without work to
    // fail on, the loop has to look.
    if (idle_rounds % link_check_rounds == 0 && MQTTClient_isConnected(c) == 0) break;
    if (idle_rounds > spin_rounds) std::this_thread::sleep_for(idle_rest);
  }
  // Only a lost link leaves the loop without a stop request.
  fail_scan();
}

driver::step driver::publish_phase(MQTTClient c) {
  auto& in = inputs();
  {
    std::lock_guard lock(in.mutex);
    batch_.clear();
    batch_.generation = in.generation;
    const std::size_t n = std::min(in.tags.size(), in.handles.size());
    for (std::size_t i = 0; i < n; ++i) {
      if (!in.dirty[i]) continue;
      in.dirty[i] = false;
      const tag_fields f = decode_tag(in.tags[i]);
      // Signals that can never be published are skipped, not retried.
      if (f.qos > max_qos || !valid_publish_topic(in.handles[i])) continue;
      batch_.add(static_cast<std::uint32_t>(i), in.handles[i], f, in.values[i]);
    }
  }
  if (batch_.empty()) return step::idle;

  publish(c, batch_);

  bool lost = false;
  for (const auto& e : batch_.entries) lost = lost || e.lost;
  if (!lost) return step::busy;
  // What the link lost is sent again once it is back, unless the inputs
  // were rebound meanwhile.
  {
    std::lock_guard lock(in.mutex);
    if (in.generation == batch_.generation)
      for (const auto& e : batch_.entries)
        if (e.lost && e.index < in.dirty.size()) in.dirty[e.index] = true;
  }
  return MQTTClient_isConnected(c) != 0 ? step::busy : step::link_lost;
}

driver::step driver::receive_phase(MQTTClient c) {
  auto& out = outputs();
  std::unique_lock lock(out.mutex);
  if (subscribed_generation_ != out.generation) {
    // Subscribing talks to the broker: copy the bindings and let go first.
    const std::uint64_t generation = out.generation;
    bound_tags_.assign(out.tags.begin(), out.tags.end());
    bound_topics_.assign(out.handles.begin(), out.handles.end());
    lock.unlock();
    return rebuild_subscriptions(c, generation) ? step::busy : step::link_lost;
  }

  std::size_t taken = 0;
  bool stored = false;
  inbound_message m;
  while (taken < messages_per_round && queue_.pop(m)) {
    ++taken;
    const auto it = subscriptions_.find(m.topic);
    if (it == subscriptions_.end()) continue;
    for (const std::uint32_t index : it->second) {
      const tag_fields f = decode_tag(out.tags[index]);
      out.values[index] = decode_payload(m.payload, f.type, f.format, out.values[index]);
      stored = true;
    }
  }
  lock.unlock();
  if (stored) out.read_count.fetch_add(1);
  return taken != 0 ? step::busy : step::idle;
}

bool driver::rebuild_subscriptions(MQTTClient c, std::uint64_t generation) {
  for (const auto& entry : subscriptions_) MQTTClient_unsubscribe(c, entry.first.c_str());
  subscriptions_.clear();
  // Whatever arrived for the old bindings must not land on the new ones.
  queue_.discard();

  for (std::size_t i = 0; i < bound_tags_.size() && i < bound_topics_.size(); ++i) {
    const tag_fields f = decode_tag(bound_tags_[i]);
    const std::string& topic = bound_topics_[i];
    if (f.qos > max_qos || !supported_type(f.type) || !valid_subscribe_topic(topic)) continue;
    const auto index = static_cast<std::uint32_t>(i);
    if (const auto it = subscriptions_.find(topic); it != subscriptions_.end()) {
      it->second.push_back(index);  // one subscription feeds every output on the topic
      continue;
    }
    // Success is the granted QoS (0 to 2); the broker's refusal is 0x80.
    const int rc = MQTTClient_subscribe(c, topic.c_str(), static_cast<int>(f.qos));
    if (rc >= 0 && rc <= static_cast<int>(max_qos))
      subscriptions_.emplace(topic, std::vector<std::uint32_t>{index});
    else if (MQTTClient_isConnected(c) == 0)
      return false;
  }
  subscribed_generation_ = generation;
  return true;
}

}  // namespace kvt::plc::mqtt
