// The main window's initial size and show state.
#pragma once

#include <string_view>

namespace kvt::browser {

struct window_size {
  int width = 0;
  int height = 0;
};

// 2560 wide on a desktop at least 2560 wide, else 1920; 1440 high on one at
// least 1440 high, else 1080.
constexpr window_size initial_window_size(window_size desktop) noexcept {
  return {desktop.width >= 2560 ? 2560 : 1920, desktop.height >= 1440 ? 1440 : 1080};
}

// The inspector window: 800 wide, 1440 high on a desktop at least 1440 high,
// else 1080.
constexpr window_size inspector_window_size(window_size desktop) noexcept {
  return {800, desktop.height >= 1440 ? 1440 : 1080};
}

enum class show_state { normal, minimized, maximized };

// "--initial-show-state": exact, case-sensitive values; anything else is
// normal.
constexpr show_state parse_show_state(std::string_view text) noexcept {
  if (text == "minimized") return show_state::minimized;
  if (text == "maximized") return show_state::maximized;
  return show_state::normal;
}

inline constexpr const char* window_title = "Kestrel Connect";
inline constexpr const char* application_id = "example.kestrel.Connect";
inline constexpr const char* user_agent = "Connect";
inline constexpr const char* runner_user_agent = "Connect Runner";

}  // namespace kvt::browser
