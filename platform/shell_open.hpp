// Opens a URL with the user's default handler (normally the web browser).
#pragma once

#include <string>

namespace kvt::platform {

// Fire and forget: a failure is not reported to anyone.
void shell_open(const std::string& url) noexcept;

}  // namespace kvt::platform
