// A mosquitto broker for the tests, listening on a free loopback port, with
// its configuration (and, for TLS, its certificates) in a temporary
// directory of its own.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include "support/child_process.hpp"

namespace kvt::test {

// A directory under the system's temporary directory, removed with its
// contents when the object goes away.
class temp_dir {
 public:
  temp_dir();
  ~temp_dir();
  temp_dir(const temp_dir&) = delete;
  temp_dir& operator=(const temp_dir&) = delete;
  const std::filesystem::path& path() const noexcept { return path_; }

 private:
  std::filesystem::path path_;
};

// A certificate authority and a server certificate for 127.0.0.1 and
// localhost signed by it, made with the openssl tool.
struct test_certificates {
  explicit test_certificates(const std::filesystem::path& dir);
  std::filesystem::path ca_cert;
  std::filesystem::path server_cert;
  std::filesystem::path server_key;
};

class mosquitto_broker {
 public:
  // `tls` null: plain MQTT. Otherwise the listener speaks TLS only.
  explicit mosquitto_broker(const test_certificates* tls = nullptr);
  ~mosquitto_broker();
  mosquitto_broker(const mosquitto_broker&) = delete;
  mosquitto_broker& operator=(const mosquitto_broker&) = delete;

  std::uint16_t port() const noexcept { return port_; }
  // "tcp://127.0.0.1:<port>" (or ssl://) for the tests' own clients.
  std::string uri() const;

  // Ends the broker (the port goes quiet) and starts it again on the same port.
  void stop();
  void start();
  bool running() const noexcept { return process_ != nullptr; }
  std::string log();

 private:
  temp_dir dir_;
  std::filesystem::path config_;
  bool tls_ = false;
  std::uint16_t port_ = 0;
  std::unique_ptr<child_process> process_;
  std::string log_;
};

// Whether something accepts TCP connections on the loopback port.
bool port_accepts(std::uint16_t port);

}  // namespace kvt::test
