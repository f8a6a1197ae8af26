// The disk side of the page's file functions: plain C++ on paths given as
// UTF-8 text, with the results the page sees. No JavaScript here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace kvt::page::files {

// The file's bytes; nothing when it cannot be opened or read.
std::optional<std::vector<std::byte>> read_file(const std::string& path);

// Creates missing parent directories, then writes (truncating). True when
// every byte was written.
bool write_file(const std::string& path, std::span<const std::byte> bytes);

enum class entry_kind : int { none = 0, file = 1, directory = 2 };

// 1 for a regular file, 2 for a directory, 0 for anything else or an error
// (links are followed).
entry_kind exists(const std::string& path);

// Milliseconds since 1970-01-01 UTC of the last write; nothing when the path
// does not exist or the time cannot be read.
std::optional<double> last_modified_ms(const std::string& path);

// Every file and directory under `path` (only its own entries unless
// `recursive`), keyed by the full path beginning with `path` as given. Other
// entry types are skipped. Nothing when `path` is not a directory or the
// walk fails anywhere.
std::optional<std::vector<std::pair<std::string, entry_kind>>> list_directory(const std::string& path,
                                                                             bool recursive);

}  // namespace kvt::page::files
