// Small helpers for request targets.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kvt::server {

// The path of a request target, without the query.
std::string_view target_path(std::string_view target) noexcept;

// The percent-decoded value of query parameter `name` ('+' reads as a
// space), or nullopt when the target has no such parameter.
std::optional<std::string> query_parameter(std::string_view target, std::string_view name);

std::string percent_decode(std::string_view text);

}  // namespace kvt::server
