// Runs the real program with --dev against the demo page served on the
// development server's port, in a scratch folder of its own (TMPDIR, home,
// a stub for the system browser), and reads what the page reports.
#pragma once

#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/child_process.hpp"

namespace kvt::test {

// A folder removed with everything in it when the object goes.
class scratch_folder {
 public:
  scratch_folder();
  ~scratch_folder();
  scratch_folder(const scratch_folder&) = delete;
  scratch_folder& operator=(const scratch_folder&) = delete;
  const std::filesystem::path& path() const noexcept { return path_; }

 private:
  std::filesystem::path path_;
};

class window_harness {
 public:
  // `config` is the page's config.json (JSON text); "report" and "scratch"
  // are added. The development server starts at once unless `serve_now` is
  // false (then `serve` starts it).
  explicit window_harness(const std::string& config_fields = "", bool serve_now = true);
  ~window_harness();

  void serve();

  // Starts the program with --dev, --port and `switches`.
  void start(const std::vector<std::string>& switches = {});
  child_process& program() { return *program_; }
  std::uint16_t port() const noexcept { return port_; }
  const std::filesystem::path& root() const noexcept { return scratch_.path(); }
  std::filesystem::path temp_dir() const { return scratch_.path() / "tmp"; }
  // Inside the program's temporary directory: the page's file functions
  // reach the home and temporary directories only.
  std::filesystem::path files_dir() const { return temp_dir() / "files"; }
  std::filesystem::path report_file() const { return temp_dir() / "report.txt"; }

  // What the page has reported so far ("key value" lines).
  std::map<std::string, std::string> report() const;
  std::string report_text() const;  // for failure messages
  // The value of `key` once the page has reported it.
  std::optional<std::string> wait_for(const std::string& key,
                                      std::chrono::milliseconds timeout = std::chrono::seconds(60));
  // URLs the stub system browser was asked to open.
  std::vector<std::string> opened_urls() const;
  // Requests the development server answered: "path cookie-header" lines.
  std::vector<std::string> requests() const;
  std::vector<std::string> environment() const;

 private:
  scratch_folder scratch_;
  std::unique_ptr<child_process> server_;
  std::unique_ptr<child_process> program_;
  std::uint16_t port_ = 0;
};

}  // namespace kvt::test
