#include "renderer/file_operations.hpp"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <system_error>

namespace kvt::page::files {

namespace fs = std::filesystem;

std::optional<std::vector<std::byte>> read_file(const std::string& path) {
  std::ifstream in(fs::path(path), std::ios::binary | std::ios::ate);
  if (!in) return std::nullopt;
  const std::streamoff end = in.tellg();
  if (end < 0) return std::nullopt;
  in.seekg(0);
  std::vector<std::byte> bytes(static_cast<std::size_t>(end));
  if (!bytes.empty() && !in.read(reinterpret_cast<char*>(bytes.data()), end)) return std::nullopt;
  return bytes;
}

bool write_file(const std::string& path, std::span<const std::byte> bytes) {
  const fs::path p(path);
  if (p.has_parent_path()) {
    std::error_code ec;
    fs::create_directories(p.parent_path(), ec);
    if (ec) return false;
  }
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  if (!out) return false;
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  out.flush();
  return out.good();
}

entry_kind exists(const std::string& path) {
  std::error_code ec;
  const fs::file_status st = fs::status(path, ec);
  if (ec) return entry_kind::none;
  if (fs::is_regular_file(st)) return entry_kind::file;
  if (fs::is_directory(st)) return entry_kind::directory;
  return entry_kind::none;
}

std::optional<double> last_modified_ms(const std::string& path) {
  std::error_code ec;
  if (!fs::exists(path, ec) || ec) return std::nullopt;
  const auto written = fs::last_write_time(path, ec);
  if (ec) return std::nullopt;
  const auto system = std::chrono::file_clock::to_sys(written);
  return static_cast<double>(
      std::chrono::duration_cast<std::chrono::milliseconds>(system.time_since_epoch()).count());
}

namespace {

template <class Iterator>
bool walk(Iterator it, std::vector<std::pair<std::string, entry_kind>>& out) {
  std::error_code ec;
  for (; it != Iterator(); it.increment(ec)) {
    if (ec) return false;
    const fs::file_status st = it->status(ec);  // follows links
    if (ec) return false;
    if (fs::is_directory(st))
      out.emplace_back(it->path().string(), entry_kind::directory);
    else if (fs::is_regular_file(st))
      out.emplace_back(it->path().string(), entry_kind::file);
  }
  return !ec;
}

}  // namespace

std::optional<std::vector<std::pair<std::string, entry_kind>>> list_directory(const std::string& path,
                                                                             bool recursive) {
  std::error_code ec;
  if (!fs::is_directory(path, ec) || ec) return std::nullopt;
  std::vector<std::pair<std::string, entry_kind>> out;
  bool ok = false;
  if (recursive) {
    fs::recursive_directory_iterator it(path, ec);
    ok = !ec && walk(std::move(it), out);
  } else {
    fs::directory_iterator it(path, ec);
    ok = !ec && walk(std::move(it), out);
  }
  if (!ok) return std::nullopt;
  return out;
}

}  // namespace kvt::page::files
