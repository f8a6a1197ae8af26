#include "browser/message_dialog.hpp"

#include <future>
#include <string>

#include "platform/message_box.hpp"

namespace kvt::browser {

namespace {

GtkWindow* owner = nullptr;

GtkButtonsType gtk_buttons(platform::message_box_buttons b) {
  switch (b) {
    case platform::message_box_buttons::ok: return GTK_BUTTONS_OK;
    case platform::message_box_buttons::ok_cancel: return GTK_BUTTONS_OK_CANCEL;
    case platform::message_box_buttons::yes_no: return GTK_BUTTONS_YES_NO;
    case platform::message_box_buttons::yes_no_cancel: return GTK_BUTTONS_NONE;
  }
  return GTK_BUTTONS_OK;
}

GtkMessageType gtk_type(platform::message_box_icon icon) {
  switch (icon) {
    case platform::message_box_icon::information: return GTK_MESSAGE_INFO;
    case platform::message_box_icon::warning: return GTK_MESSAGE_WARNING;
    case platform::message_box_icon::error: return GTK_MESSAGE_ERROR;
    case platform::message_box_icon::none: return GTK_MESSAGE_OTHER;
  }
  return GTK_MESSAGE_OTHER;
}

platform::message_box_answer answer_of(int response) {
  switch (response) {
    case GTK_RESPONSE_OK: return platform::message_box_answer::ok;
    case GTK_RESPONSE_YES: return platform::message_box_answer::yes;
    case GTK_RESPONSE_NO: return platform::message_box_answer::no;
    case GTK_RESPONSE_CANCEL: return platform::message_box_answer::cancel;
    default: return platform::message_box_answer::other;
  }
}

struct dialog_run {
  GMainLoop* loop = nullptr;
  int response = GTK_RESPONSE_NONE;
};

void on_response(GtkDialog*, int response, gpointer data) {
  auto* run = static_cast<dialog_run*>(data);
  run->response = response;
  g_main_loop_quit(run->loop);
}

// Runs the dialog to its answer on the UI thread (a nested main loop: the
// page keeps rendering while the question is open).
platform::message_box_answer show_on_ui_thread(platform::message_box_buttons buttons, platform::message_box_icon icon,
                                               const std::string& title, const std::string& text) {
  G_GNUC_BEGIN_IGNORE_DEPRECATIONS
  GtkWidget* dialog = gtk_message_dialog_new(owner, GTK_DIALOG_MODAL, gtk_type(icon), gtk_buttons(buttons), "%s",
                                             text.c_str());
  if (buttons == platform::message_box_buttons::yes_no_cancel)
    gtk_dialog_add_buttons(GTK_DIALOG(dialog), "_Yes", GTK_RESPONSE_YES, "_No", GTK_RESPONSE_NO, "_Cancel",
                           GTK_RESPONSE_CANCEL, nullptr);
  gtk_window_set_title(GTK_WINDOW(dialog), title.c_str());
  dialog_run run;
  run.loop = g_main_loop_new(nullptr, FALSE);
  g_signal_connect(dialog, "response", G_CALLBACK(on_response), &run);
  gtk_window_present(GTK_WINDOW(dialog));
  g_main_loop_run(run.loop);
  g_main_loop_unref(run.loop);
  gtk_window_destroy(GTK_WINDOW(dialog));
  G_GNUC_END_IGNORE_DEPRECATIONS
  return answer_of(run.response);
}

struct handover {
  platform::message_box_buttons buttons;
  platform::message_box_icon icon;
  std::string title;
  std::string text;
  std::promise<platform::message_box_answer> answer;
};

gboolean run_handover(gpointer data) {
  auto* h = static_cast<handover*>(data);
  h->answer.set_value(show_on_ui_thread(h->buttons, h->icon, h->title, h->text));
  return G_SOURCE_REMOVE;
}

platform::message_box_answer present(platform::message_box_buttons buttons, platform::message_box_icon icon,
                                     const std::string& title, const std::string& text) {
  if (g_main_context_is_owner(g_main_context_default()) != 0) return show_on_ui_thread(buttons, icon, title, text);
  handover h{buttons, icon, title, text, {}};
  auto answer = h.answer.get_future();
  g_main_context_invoke(nullptr, run_handover, &h);
  return answer.get();  // `h` lives until the UI thread has answered
}

}  // namespace

void install_message_dialogs(GtkWindow* parent) {
  owner = parent;
  platform::set_message_box_presenter(present);
}

void remove_message_dialogs() {
  platform::set_message_box_presenter({});
  owner = nullptr;
}

}  // namespace kvt::browser
