// The page's file and directory pickers, run as native dialogs for
// "FileSystemDialogRequest"; the answer goes back as
// "FileSystemDialogResponse".
#pragma once

#include <webkit/webkit.h>

namespace kvt::browser {

// Shows the dialog a request asks for, owned by `parent`, and answers the
// page of `view` when it is dismissed. False for a malformed request.
bool run_file_dialog(GtkWindow* parent, WebKitWebView* view, WebKitUserMessage* request);

}  // namespace kvt::browser
