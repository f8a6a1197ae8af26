#include "browser/file_dialogs.hpp"

#include <cstdint>
#include <string>
#include <vector>

#include "browser/gobject_ptr.hpp"
#include "renderer/process_messages.hpp"

namespace kvt::browser {

namespace {

struct dialog_request {
  gobject_ptr<WebKitWebView> view;
  std::int32_t id = 0;
};

// An accept filter as the page gives it: ".ext" or "ext" → "*.ext", a MIME
// type "type/subtype" as it is.
void add_filter(GtkFileFilter* filter, const std::string& accept) {
  if (accept.find('/') != std::string::npos) {
    gtk_file_filter_add_mime_type(filter, accept.c_str());
    return;
  }
  std::string pattern = accept.starts_with('.') ? "*" + accept : "*." + accept;
  gtk_file_filter_add_pattern(filter, pattern.c_str());
}

void answer(WebKitWebView* view, std::int32_t id, const std::vector<std::string>& paths) {
  GVariantBuilder list;
  g_variant_builder_init(&list, G_VARIANT_TYPE("as"));
  for (const auto& p : paths) g_variant_builder_add(&list, "s", p.c_str());
  GVariant* params = g_variant_new(page::messages::file_dialog_response_type, id, &list);
  webkit_web_view_send_message_to_page(view, webkit_user_message_new(page::messages::file_dialog_response, params),
                                       nullptr, nullptr, nullptr);
}

void on_response(GtkNativeDialog* dialog, int response, gpointer data) {
  std::unique_ptr<dialog_request> request(static_cast<dialog_request*>(data));
  std::vector<std::string> paths;
  if (response == GTK_RESPONSE_ACCEPT) {
    GListModel* files = gtk_file_chooser_get_files(GTK_FILE_CHOOSER(dialog));
    const guint n = g_list_model_get_n_items(files);
    for (guint i = 0; i < n; ++i) {
      auto file = adopt(static_cast<GFile*>(g_list_model_get_item(files, i)));
      gchar_ptr path(g_file_get_path(file.get()));
      if (path) paths.emplace_back(path.get());
    }
    g_object_unref(files);
  }
  answer(request->view.get(), request->id, paths);
  gtk_native_dialog_destroy(dialog);
  g_object_unref(dialog);
}

}  // namespace

bool run_file_dialog(GtkWindow* parent, WebKitWebView* view, WebKitUserMessage* message) {
  GVariant* params = webkit_user_message_get_parameters(message);
  if (params == nullptr || !g_variant_is_of_type(params, G_VARIANT_TYPE(page::messages::file_dialog_request_type)))
    return false;
  std::int32_t id = 0;
  gboolean directory = FALSE;
  gboolean multiple = FALSE;
  const gchar* title = nullptr;
  const gchar* default_path = nullptr;
  GVariantIter* filters = nullptr;
  g_variant_get(params, "(ibb&s&sas)", &id, &directory, &multiple, &title, &default_path, &filters);

  const GtkFileChooserAction action = directory ? GTK_FILE_CHOOSER_ACTION_SELECT_FOLDER : GTK_FILE_CHOOSER_ACTION_OPEN;
  GtkFileChooserNative* dialog = gtk_file_chooser_native_new(title, parent, action, nullptr, nullptr);
  GtkFileChooser* chooser = GTK_FILE_CHOOSER(dialog);
  gtk_file_chooser_set_select_multiple(chooser, (!directory && multiple) ? TRUE : FALSE);
  if (default_path != nullptr && *default_path != '\0') {
    auto file = adopt(g_file_new_for_path(default_path));
    const bool is_dir = g_file_query_file_type(file.get(), G_FILE_QUERY_INFO_NONE, nullptr) == G_FILE_TYPE_DIRECTORY;
    if (is_dir) {
      gtk_file_chooser_set_current_folder(chooser, file.get(), nullptr);
    } else {
      gtk_file_chooser_set_file(chooser, file.get(), nullptr);
    }
  }
  const gchar* accept = nullptr;
  GtkFileFilter* filter = nullptr;
  while (g_variant_iter_next(filters, "&s", &accept)) {
    if (filter == nullptr) filter = gtk_file_filter_new();
    add_filter(filter, accept);
  }
  g_variant_iter_free(filters);
  if (filter != nullptr) {
    gtk_file_chooser_add_filter(chooser, filter);
    g_object_unref(filter);
  }
  auto request = std::make_unique<dialog_request>(dialog_request{retain(view), id});
  // The request travels with the dialog and comes back in on_response.
  g_signal_connect(dialog, "response", G_CALLBACK(on_response), request.release());
  gtk_native_dialog_show(GTK_NATIVE_DIALOG(dialog));
  return true;
}

}  // namespace kvt::browser

