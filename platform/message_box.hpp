// Modal messages to the user. The browser host installs a presenter that
// shows a dialog on the UI thread; without one (no display, or before the
// window exists) the text goes to standard error.
#pragma once

#include <functional>
#include <string>

namespace kvt::platform {

enum class message_box_buttons { ok = 0, ok_cancel = 1, yes_no = 2, yes_no_cancel = 4 };
enum class message_box_icon { none = 0, information = 1, warning = 2, error = 3 };
enum class message_box_answer { other = 0, ok = 1, yes = 2, no = 3, cancel = 4 };

// Buttons and icon from their numeric codes; unknown codes give OK only and
// no icon.
message_box_buttons buttons_from_code(int code) noexcept;
message_box_icon icon_from_code(int code) noexcept;

using message_box_presenter = std::function<message_box_answer(
    message_box_buttons, message_box_icon, const std::string& title, const std::string& text)>;

// Installs (or, with an empty function, removes) the presenter.
void set_message_box_presenter(message_box_presenter presenter);

// Whether a presenter is installed (messages are dialogs, not text).
bool has_message_box_presenter();

// Shows the message and waits for the answer. Without a presenter the text
// is written to standard error as "title: text" and the answer is the
// box's first button (OK, or Yes), so a caller goes on as if confirmed.
message_box_answer show_message_box(message_box_buttons buttons, message_box_icon icon, const std::string& title,
                                    const std::string& text);

}  // namespace kvt::platform
