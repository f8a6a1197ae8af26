// Message boxes as modal GTK dialogs on the UI thread. Other threads hand the
// message over to the UI thread and wait for the answer.
#pragma once

#include <gtk/gtk.h>

namespace kvt::browser {

// Installs the GTK presenter for the program's message boxes, owned by
// `parent` while it exists; `remove_message_dialogs` restores the standard
// error fall-back (before the window goes away).
void install_message_dialogs(GtkWindow* parent);
void remove_message_dialogs();

}  // namespace kvt::browser
