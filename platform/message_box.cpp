#include "platform/message_box.hpp"

#include <cstdio>
#include <mutex>
#include <utility>

namespace kvt::platform {

namespace {
std::mutex presenter_mutex;
message_box_presenter& presenter() {
  static message_box_presenter p;
  return p;
}
}  // namespace

message_box_buttons buttons_from_code(int code) noexcept {
  switch (code) {
    case 1: return message_box_buttons::ok_cancel;
    case 2: return message_box_buttons::yes_no;
    case 4: return message_box_buttons::yes_no_cancel;
    default: return message_box_buttons::ok;
  }
}

message_box_icon icon_from_code(int code) noexcept {
  switch (code) {
    case 1: return message_box_icon::information;
    case 2: return message_box_icon::warning;
    case 3: return message_box_icon::error;
    default: return message_box_icon::none;
  }
}

void set_message_box_presenter(message_box_presenter p) {
  std::lock_guard lock(presenter_mutex);
  presenter() = std::move(p);
}

bool has_message_box_presenter() {
  std::lock_guard lock(presenter_mutex);
  return static_cast<bool>(presenter());
}

message_box_answer show_message_box(message_box_buttons buttons, message_box_icon icon, const std::string& title,
                                    const std::string& text) {
  message_box_presenter p;
  {
    std::lock_guard lock(presenter_mutex);
    p = presenter();
  }
  if (p) return p(buttons, icon, title, text);
  std::fprintf(stderr, "%s: %s\n", title.c_str(), text.c_str());
  std::fflush(stderr);
  return buttons == message_box_buttons::yes_no || buttons == message_box_buttons::yes_no_cancel
             ? message_box_answer::yes
             : message_box_answer::ok;
}

}  // namespace kvt::platform
