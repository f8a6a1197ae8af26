// The test's own MQTT client on Paho: publishes what an outside device
// would and records every message on the topics it follows.
#pragma once

#include <MQTTClient.h>

#include <cstddef>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kvt::test {

struct peer_message {
  std::string payload;
  bool retained = false;
  int qos = 0;
};

class mqtt_peer {
 public:
  // Connects at once; throws on failure. `ca_file` empty: no TLS.
  explicit mqtt_peer(const std::string& uri, const std::string& ca_file = {});
  ~mqtt_peer();
  mqtt_peer(const mqtt_peer&) = delete;
  mqtt_peer& operator=(const mqtt_peer&) = delete;

  // Publishes and waits for the broker's acknowledgement above QoS 0.
  void publish(const std::string& topic, std::string_view payload, bool retained = true, int qos = 1);
  void subscribe(const std::string& topic, int qos = 1);

  std::vector<peer_message> messages(const std::string& topic) const;
  std::optional<peer_message> last(const std::string& topic) const;
  std::size_t count(const std::string& topic) const;

 private:
  static int arrived(void* context, char* topic, int topic_len, MQTTClient_message* message);

  MQTTClient client_ = nullptr;
  mutable std::mutex mutex_;
  std::map<std::string, std::vector<peer_message>> received_;
};

}  // namespace kvt::test
