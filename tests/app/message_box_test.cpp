// Message boxes without a display go to standard error; with a presenter
// installed it gets the buttons and icon.
#include <gtest/gtest.h>

#include "platform/message_box.hpp"

namespace kvt::platform {
namespace {

TEST(MessageBox, WithoutAPresenterTheTextGoesToStandardError) {
  ::testing::internal::CaptureStderr();
  const auto answer = show_message_box(buttons_from_code(0), icon_from_code(3), "Port Occupied", "Port 1 is taken.");
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Port Occupied: Port 1 is taken.\n");
  EXPECT_EQ(answer, message_box_answer::ok);
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(show_message_box(message_box_buttons::yes_no, message_box_icon::warning, "Leave?", "Unsaved."),
            message_box_answer::yes);
  ::testing::internal::GetCapturedStderr();
}

TEST(MessageBox, CodesMapToButtonsAndIcons) {
  EXPECT_EQ(buttons_from_code(1), message_box_buttons::ok_cancel);
  EXPECT_EQ(buttons_from_code(2), message_box_buttons::yes_no);
  EXPECT_EQ(buttons_from_code(4), message_box_buttons::yes_no_cancel);
  EXPECT_EQ(buttons_from_code(3), message_box_buttons::ok);
  EXPECT_EQ(icon_from_code(1), message_box_icon::information);
  EXPECT_EQ(icon_from_code(2), message_box_icon::warning);
  EXPECT_EQ(icon_from_code(3), message_box_icon::error);
  EXPECT_EQ(icon_from_code(7), message_box_icon::none);
}

TEST(MessageBox, APresenterReceivesTheMessage) {
  message_box_buttons seen_buttons{};
  message_box_icon seen_icon{};
  std::string seen;
  set_message_box_presenter([&](message_box_buttons b, message_box_icon i, const std::string& t, const std::string& x) {
    seen_buttons = b;
    seen_icon = i;
    seen = t + "|" + x;
    return message_box_answer::no;
  });
  EXPECT_EQ(show_message_box(message_box_buttons::yes_no, message_box_icon::warning, "T", "X"), message_box_answer::no);
  set_message_box_presenter(nullptr);
  EXPECT_EQ(seen_buttons, message_box_buttons::yes_no);
  EXPECT_EQ(seen_icon, message_box_icon::warning);
  EXPECT_EQ(seen, "T|X");
}

}  // namespace
}  // namespace kvt::platform
