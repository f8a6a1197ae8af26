// `connect.fileSystem`: the seven file functions the page calls. The five
// disk functions answer at once; the two pickers return promises that the
// window's dialog settles through "FileSystemDialogResponse".
#pragma once

#include <jsc/jsc.h>
#include <webkit/webkit-web-process-extension.h>

#include "browser/gobject_ptr.hpp"

namespace kvt::page {

// The `fileSystem` object for one script context of `page`.
gobject_ptr<JSCValue> make_file_system_object(WebKitWebPage* page, JSCContext* context);

// Settles the picker promise a "FileSystemDialogResponse" answers.
void settle_file_dialog(WebKitUserMessage* message);

}  // namespace kvt::page
