#include "browser/window_harness.hpp"

#include <stdlib.h>

#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "support/eventually.hpp"
#include "support/ws_client.hpp"

namespace kvt::test {

namespace fs = std::filesystem;

namespace {

constexpr std::uint16_t dev_server_port = 5173;

void write_text(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  std::ofstream(path) << text;
}

bool port_answers(std::uint16_t port) {
  try {
    http_get(port, "/");
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

}  // namespace

scratch_folder::scratch_folder() {
  std::string pattern = (fs::temp_directory_path() / "kvt-window-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

scratch_folder::~scratch_folder() {
  std::error_code ec;
  fs::remove_all(path_, ec);
}

window_harness::window_harness(const std::string& config_fields, bool serve_now) {
  const fs::path www = root() / "www";
  fs::create_directories(www);
  for (const auto& entry : fs::directory_iterator(fs::path(KVT_SOURCE_DIR) / "demo" / "page"))
    if (entry.path().filename() != "config.json") fs::copy(entry.path(), www / entry.path().filename());
  std::string config = "{\"report\":\"" + report_file().string() + "\",\"scratch\":\"" +
                       files_dir().string() + "\"";
  if (!config_fields.empty()) config += "," + config_fields;
  write_text(www / "config.json", config + "}");
  fs::create_directories(temp_dir());
  fs::create_directories(files_dir());

  // The system browser: a desktop entry for http and https whose program
  // only writes down the URL it was given.
  const fs::path opener = root() / "opener.sh";
  write_text(opener, "#!/bin/sh\nprintf '%s\\n' \"$1\" >> '" + (root() / "opened.txt").string() + "'\n");
  fs::permissions(opener, fs::perms::owner_all);
  write_text(root() / "data" / "applications" / "kvt-test-opener.desktop",
             "[Desktop Entry]\nType=Application\nName=Test opener\nExec=" + opener.string() +
                 " %u\nMimeType=x-scheme-handler/http;x-scheme-handler/https;\n");
  write_text(root() / "config" / "mimeapps.list",
             "[Default Applications]\nx-scheme-handler/http=kvt-test-opener.desktop\n"
             "x-scheme-handler/https=kvt-test-opener.desktop\n");

  if (port_answers(dev_server_port)) throw std::runtime_error("port 5173 is taken by another program");
  if (serve_now) serve();
}

void window_harness::serve() {
  server_ = std::make_unique<child_process>(std::vector<std::string>{
      "/usr/bin/python3", std::string(KVT_SOURCE_DIR) + "/demo/dev_server.py", (root() / "www").string(),
      std::to_string(dev_server_port), "--cookie-log", (root() / "requests.txt").string()});
  if (!eventually([] { return port_answers(dev_server_port); }, std::chrono::seconds(10)))
    throw std::runtime_error("the development server did not start");
}

window_harness::~window_harness() {
  program_.reset();
  server_.reset();
}

std::vector<std::string> window_harness::environment() const {
  return {"TMPDIR=" + temp_dir().string(), "XDG_DATA_HOME=" + (root() / "data").string(),
          "XDG_CONFIG_HOME=" + (root() / "config").string()};
}

void window_harness::start(const std::vector<std::string>& switches) {
  port_ = free_port();
  std::vector<std::string> argv = {built_program("app/kestrel-connect"), "--dev", "--port=" + std::to_string(port_)};
  argv.insert(argv.end(), switches.begin(), switches.end());
  program_ = std::make_unique<child_process>(argv, environment());
}

std::map<std::string, std::string> window_harness::report() const {
  std::map<std::string, std::string> out;
  std::ifstream in(report_file());
  for (std::string line; std::getline(in, line);) {
    const auto space = line.find(' ');
    if (space != std::string::npos) out[line.substr(0, space)] = line.substr(space + 1);
  }
  return out;
}

std::string window_harness::report_text() const {
  std::ifstream in(report_file());
  std::stringstream text;
  text << "page report:\n" << in.rdbuf();
  return text.str();
}

std::optional<std::string> window_harness::wait_for(const std::string& key, std::chrono::milliseconds timeout) {
  std::optional<std::string> value;
  eventually(
      [&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));  // the page writes every 50 ms at most
        const auto r = report();
        if (auto it = r.find(key); it != r.end()) value = it->second;
        return value.has_value() || (program_ && program_->wait(std::chrono::milliseconds(0)).has_value());
      },
      timeout);
  return value;
}

std::vector<std::string> window_harness::requests() const {
  std::vector<std::string> out;
  std::ifstream in(root() / "requests.txt");
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

std::vector<std::string> window_harness::opened_urls() const {
  std::vector<std::string> out;
  std::ifstream in(root() / "opened.txt");
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

}  // namespace kvt::test
