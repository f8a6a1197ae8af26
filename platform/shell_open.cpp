#include "platform/shell_open.hpp"

#include <gio/gio.h>

namespace kvt::platform {

void shell_open(const std::string& url) noexcept {
  if (url.empty()) return;
  GError* error = nullptr;
  if (g_app_info_launch_default_for_uri(url.c_str(), nullptr, &error) == FALSE && error != nullptr)
    g_error_free(error);
}

}  // namespace kvt::platform
