#include "app/cache_directories.hpp"

#include <string>
#include <system_error>

namespace kvt {

namespace fs = std::filesystem;

fs::path application_directory(const fs::path& temp) { return temp / "Kestrel" / "Connect"; }
fs::path cache_root(const fs::path& temp) { return application_directory(temp) / "Cache"; }

cache_directory_lease cache_directory(const fs::path& temp, unsigned long pid, std::string& error) {
  cache_directory_lease lease;
  std::error_code ec;
  const fs::path root = cache_root(temp);
  fs::create_directories(root, ec);
  if (ec) {
    error = "cannot create " + root.string() + ": " + ec.message();
    return lease;
  }
  lease.first_instance =
      lease.instance_lock.try_lock(application_directory(temp) / instance_lock_file_name, /*create=*/true);

  fs::path dir;
  if (lease.first_instance) {
    dir = root / main_cache_name;
    // An existing "Main" is used as it is, whatever it holds.
    if (!fs::exists(dir, ec) && !ec) fs::create_directories(dir, ec);
  } else {
    dir = root / std::to_string(pid);
    fs::remove_all(dir, ec);
    if (!ec && !fs::create_directories(dir, ec) && !ec) ec = std::make_error_code(std::errc::file_exists);
  }
  if (ec) {
    error = "cannot create " + dir.string() + ": " + ec.message();
    return lease;
  }
  if (!lease.directory_lock.try_lock(dir / cache_lock_file_name, /*create=*/true)) {
    error = "cannot lock " + (dir / cache_lock_file_name).string();
    return lease;
  }
  lease.directory = dir;
  return lease;
}

void clean_cache_directories(const fs::path& temp, std::chrono::seconds min_age) {
  std::error_code ec;
  const fs::path root = cache_root(temp);
  if (!fs::exists(root, ec) || ec) return;
  const auto now = fs::file_time_type::clock::now();
  fs::directory_iterator it(root, ec);
  for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
    const fs::directory_entry& entry = *it;
    const bool is_dir = entry.is_directory(ec);
    if (ec) return;
    if (!is_dir || entry.path().filename() == main_cache_name) continue;
    const auto written = entry.last_write_time(ec);
    if (ec) return;
    if (now - written < min_age) continue;
    const fs::path lock = entry.path() / cache_lock_file_name;
    const bool has_lock = fs::exists(lock, ec);
    if (ec) return;
    if (has_lock && platform::lock_is_held_elsewhere(lock)) continue;  // a running copy uses it
    fs::remove_all(entry.path(), ec);
    if (ec) return;
  }
}

}  // namespace kvt
