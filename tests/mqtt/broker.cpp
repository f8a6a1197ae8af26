#include "mqtt/broker.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <stdexcept>

#include "support/eventually.hpp"
#include "support/ws_client.hpp"

namespace kvt::test {

namespace {

void run_tool(std::vector<std::string> argv) {
  child_process tool(argv);
  const auto rc = tool.wait(std::chrono::seconds(60));
  if (rc != 0) throw std::runtime_error(argv[0] + " failed: " + tool.stderr_text());
}

}  // namespace

temp_dir::temp_dir() {
  static std::atomic<int> made{0};
  path_ = std::filesystem::temp_directory_path() /
          ("kvt-mqtt-" + std::to_string(::getpid()) + "-" + std::to_string(made.fetch_add(1)));
  std::filesystem::remove_all(path_);
  std::filesystem::create_directories(path_);
}

temp_dir::~temp_dir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

test_certificates::test_certificates(const std::filesystem::path& dir)
    : ca_cert(dir / "ca.crt"), server_cert(dir / "server.crt"), server_key(dir / "server.key") {
  const std::string openssl = "/usr/bin/openssl";
  const auto ca_key = dir / "ca.key";
  const auto request = dir / "server.csr";
  const auto extensions = dir / "server.ext";
  std::ofstream(extensions) << "subjectAltName=IP:127.0.0.1,DNS:localhost\nbasicConstraints=CA:FALSE\n";
  run_tool({openssl, "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
            "-keyout", ca_key.string(), "-out", ca_cert.string(), "-days", "2", "-subj", "/CN=Kestrel Test CA"});
  run_tool({openssl, "req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-keyout",
            server_key.string(), "-out", request.string(), "-subj", "/CN=localhost"});
  run_tool({openssl, "x509", "-req", "-in", request.string(), "-CA", ca_cert.string(), "-CAkey", ca_key.string(),
            "-CAcreateserial", "-out", server_cert.string(), "-days", "2", "-extfile", extensions.string()});
}

bool port_accepts(std::uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return false;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool ok = ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
  ::close(fd);
  return ok;
}

mosquitto_broker::mosquitto_broker(const test_certificates* tls) : tls_(tls != nullptr), port_(free_port()) {
  config_ = dir_.path() / "mosquitto.conf";
  std::ofstream conf(config_);
  conf << "listener " << port_ << " 127.0.0.1\n"
       << "allow_anonymous true\n"
       << "persistence false\n"
       << "set_tcp_nodelay true\n"
       << "max_queued_messages 0\n"
       << "log_dest stderr\n"
       << "log_type error\n"
       << "log_type warning\n"
       << "user root\n";
  if (tls != nullptr)
    conf << "cafile " << tls->ca_cert.string() << "\n"
         << "certfile " << tls->server_cert.string() << "\n"
         << "keyfile " << tls->server_key.string() << "\n";
  conf.close();
  start();
}

mosquitto_broker::~mosquitto_broker() { stop(); }

std::string mosquitto_broker::uri() const {
  return std::string(tls_ ? "ssl" : "tcp") + "://127.0.0.1:" + std::to_string(port_);
}

void mosquitto_broker::start() {
  if (process_) return;
  process_ = std::make_unique<child_process>(std::vector<std::string>{"/usr/sbin/mosquitto", "-c", config_.string()});
  if (!eventually([&] { return port_accepts(port_); }, std::chrono::seconds(10)))
    throw std::runtime_error("mosquitto did not listen: " + log());
}

void mosquitto_broker::stop() {
  if (!process_) return;
  process_->terminate();
  log_ += process_->stderr_text();
  process_.reset();
}

std::string mosquitto_broker::log() { return log_ + (process_ ? process_->stderr_text() : std::string()); }

}  // namespace kvt::test
