#include "mqtt/peer.hpp"

#include <atomic>
#include <cstring>
#include <stdexcept>

namespace kvt::test {

mqtt_peer::mqtt_peer(const std::string& uri, const std::string& ca_file) {
  static std::atomic<int> made{0};
  const std::string id = "kvt-test-peer-" + std::to_string(made.fetch_add(1));
  if (MQTTClient_create(&client_, uri.c_str(), id.c_str(), MQTTCLIENT_PERSISTENCE_NONE, nullptr) !=
      MQTTCLIENT_SUCCESS)
    throw std::runtime_error("peer client not created");
  MQTTClient_setCallbacks(client_, this, nullptr, &mqtt_peer::arrived, nullptr);
  MQTTClient_connectOptions options = MQTTClient_connectOptions_initializer;
  options.keepAliveInterval = 10;
  options.cleansession = 1;
  options.reliable = 0;
  MQTTClient_SSLOptions tls = MQTTClient_SSLOptions_initializer;
  tls.trustStore = ca_file.c_str();
  tls.enableServerCertAuth = 1;
  if (!ca_file.empty()) options.ssl = &tls;
  if (const int rc = MQTTClient_connect(client_, &options); rc != MQTTCLIENT_SUCCESS) {
    MQTTClient_destroy(&client_);
    throw std::runtime_error("peer did not connect: " + std::to_string(rc));
  }
}

mqtt_peer::~mqtt_peer() {
  MQTTClient_disconnect(client_, 1000);
  MQTTClient_destroy(&client_);
}

void mqtt_peer::publish(const std::string& topic, std::string_view payload, bool retained, int qos) {
  MQTTClient_message m = MQTTClient_message_initializer;
  std::string bytes(payload);
  m.payload = bytes.data();
  m.payloadlen = static_cast<int>(bytes.size());
  m.qos = qos;
  m.retained = retained ? 1 : 0;
  MQTTClient_deliveryToken token = 0;
  if (MQTTClient_publishMessage(client_, topic.c_str(), &m, &token) != MQTTCLIENT_SUCCESS)
    throw std::runtime_error("peer publish failed");
  if (qos > 0 && MQTTClient_waitForCompletion(client_, token, 5000) != MQTTCLIENT_SUCCESS)
    throw std::runtime_error("peer publish not acknowledged");
}

void mqtt_peer::subscribe(const std::string& topic, int qos) {
  const int rc = MQTTClient_subscribe(client_, topic.c_str(), qos);
  if (rc < 0 || rc > 2) throw std::runtime_error("peer subscribe failed");
}

int mqtt_peer::arrived(void* context, char* topic, int topic_len, MQTTClient_message* message) {
  auto* self = static_cast<mqtt_peer*>(context);
  const std::string name(topic, topic_len > 0 ? static_cast<std::size_t>(topic_len) : std::strlen(topic));
  peer_message m;
  m.payload.assign(static_cast<const char*>(message->payload), static_cast<std::size_t>(message->payloadlen));
  m.retained = message->retained != 0;
  m.qos = message->qos;
  {
    std::lock_guard lock(self->mutex_);
    self->received_[name].push_back(std::move(m));
  }
  MQTTClient_freeMessage(&message);
  MQTTClient_free(topic);
  return 1;
}

std::vector<peer_message> mqtt_peer::messages(const std::string& topic) const {
  std::lock_guard lock(mutex_);
  const auto it = received_.find(topic);
  return it == received_.end() ? std::vector<peer_message>{} : it->second;
}

std::optional<peer_message> mqtt_peer::last(const std::string& topic) const {
  std::lock_guard lock(mutex_);
  const auto it = received_.find(topic);
  if (it == received_.end() || it->second.empty()) return std::nullopt;
  return it->second.back();
}

std::size_t mqtt_peer::count(const std::string& topic) const {
  std::lock_guard lock(mutex_);
  const auto it = received_.find(topic);
  return it == received_.end() ? 0 : it->second.size();
}

}  // namespace kvt::test
