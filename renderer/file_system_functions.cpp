#include "renderer/file_system_functions.hpp"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <map>
#include <span>
#include <string>
#include <vector>

#include "renderer/file_operations.hpp"
#include "renderer/process_messages.hpp"

namespace kvt::page {

namespace {

// ---------------------------------------------------------------------------
// Arguments. Functions read their arguments by position; a missing one counts
// as an empty string, false or an empty list.

JSCValue* argument(GPtrArray* args, guint i) {
  return args != nullptr && i < args->len ? static_cast<JSCValue*>(g_ptr_array_index(args, i)) : nullptr;
}

std::string string_argument(GPtrArray* args, guint i) {
  JSCValue* v = argument(args, i);
  if (v == nullptr || jsc_value_is_undefined(v) || jsc_value_is_null(v)) return {};
  gchar_ptr text(jsc_value_to_string(v));
  return text ? std::string(text.get()) : std::string();
}

bool bool_argument(GPtrArray* args, guint i) {
  JSCValue* v = argument(args, i);
  return v != nullptr && jsc_value_to_boolean(v) != 0;
}

std::vector<std::string> string_list_argument(GPtrArray* args, guint i) {
  std::vector<std::string> out;
  JSCValue* v = argument(args, i);
  if (v == nullptr || !jsc_value_is_array(v)) return out;
  auto length = adopt(jsc_value_object_get_property(v, "length"));
  const std::int32_t n = length ? jsc_value_to_int32(length.get()) : 0;
  for (std::int32_t k = 0; k < n; ++k) {
    auto item = adopt(jsc_value_object_get_property_at_index(v, static_cast<guint>(k)));
    gchar_ptr text(item ? jsc_value_to_string(item.get()) : nullptr);
    out.emplace_back(text ? text.get() : "");
  }
  return out;
}

// A byte offset or length: a non-negative integer, or a non-negative double
// (truncated).
bool byte_count(JSCValue* v, std::size_t& out) {
  if (v == nullptr || !jsc_value_is_number(v)) return false;
  const double d = jsc_value_to_double(v);
  if (!(d >= 0) || !std::isfinite(d) || d > static_cast<double>(std::numeric_limits<std::uint32_t>::max() * 2.0))
    return false;
  out = static_cast<std::size_t>(d);
  return true;
}

// The bytes of an ArrayBuffer, or of a view over one ("buffer", "byteOffset",
// "byteLength"), checked to lie inside the buffer.
bool bytes_of(JSCValue* data, std::span<const std::byte>& out) {
  if (data == nullptr || !jsc_value_is_object(data)) return false;
  if (jsc_value_is_array_buffer(data)) {
    gsize size = 0;
    const auto* p = static_cast<const std::byte*>(jsc_value_array_buffer_get_data(data, &size));
    if (p == nullptr && size != 0) return false;
    out = {p, size};
    return true;
  }
  auto buffer = adopt(jsc_value_object_get_property(data, "buffer"));
  if (!buffer || !jsc_value_is_array_buffer(buffer.get())) return false;
  auto offset_value = adopt(jsc_value_object_get_property(data, "byteOffset"));
  auto length_value = adopt(jsc_value_object_get_property(data, "byteLength"));
  std::size_t offset = 0;
  std::size_t length = 0;
  if (!byte_count(offset_value.get(), offset) || !byte_count(length_value.get(), length)) return false;
  gsize size = 0;
  const auto* p = static_cast<const std::byte*>(jsc_value_array_buffer_get_data(buffer.get(), &size));
  if (offset > size || length > size - offset) return false;
  if (p == nullptr && length != 0) return false;
  out = {p == nullptr ? nullptr : p + offset, length};
  return true;
}

// ---------------------------------------------------------------------------
// The five disk functions.

JSCValue* read_file(GPtrArray* args, gpointer) {
  JSCContext* context = jsc_context_get_current();
  auto bytes = files::read_file(string_argument(args, 0));
  if (!bytes) return jsc_value_new_null(context);
  // The ArrayBuffer takes a block of its own, freed when it is collected.
  const std::size_t size = bytes->size();
  void* block = g_malloc(size == 0 ? 1 : size);
  if (size != 0) std::memcpy(block, bytes->data(), size);
  JSCValue* result = jsc_value_new_array_buffer(context, block, size, g_free, block);
  if (result == nullptr) {
    g_free(block);
    return jsc_value_new_null(context);
  }
  return result;
}

JSCValue* write_file(GPtrArray* args, gpointer) {
  JSCContext* context = jsc_context_get_current();
  std::span<const std::byte> bytes;
  if (!bytes_of(argument(args, 1), bytes)) return jsc_value_new_boolean(context, FALSE);
  return jsc_value_new_boolean(context, files::write_file(string_argument(args, 0), bytes) ? TRUE : FALSE);
}

JSCValue* exists(GPtrArray* args, gpointer) {
  return jsc_value_new_number(jsc_context_get_current(), static_cast<int>(files::exists(string_argument(args, 0))));
}

JSCValue* last_modified(GPtrArray* args, gpointer) {
  JSCContext* context = jsc_context_get_current();
  const auto ms = files::last_modified_ms(string_argument(args, 0));
  if (!ms) return jsc_value_new_null(context);
  auto date_constructor = adopt(jsc_context_get_value(context, "Date"));
  JSCValue* date = date_constructor ? jsc_value_constructor_call(date_constructor.get(), G_TYPE_DOUBLE, *ms, G_TYPE_NONE)
                                    : nullptr;
  return date != nullptr ? date : jsc_value_new_null(context);
}

JSCValue* list_directory(GPtrArray* args, gpointer) {
  JSCContext* context = jsc_context_get_current();
  const auto entries = files::list_directory(string_argument(args, 0), bool_argument(args, 1));
  if (!entries) return jsc_value_new_null(context);
  JSCValue* object = jsc_value_new_object(context, nullptr, nullptr);
  for (const auto& [path, kind] : *entries) {
    auto value = adopt(jsc_value_new_number(context, static_cast<int>(kind)));
    jsc_value_object_set_property(object, path.c_str(), value.get());
  }
  return object;
}

// ---------------------------------------------------------------------------
// The pickers. Each call takes the next request id (the first is 1) and
// leaves its promise's resolver here until the window answers.

struct pending_picker {
  gobject_ptr<JSCContext> context;
  gobject_ptr<JSCValue> resolve;
  bool directory = false;
};

std::int32_t next_request_id = 1;
std::map<std::int32_t, pending_picker>& pending() {
  static std::map<std::int32_t, pending_picker> map;
  return map;
}

// A promise and its resolve function, made by the page's own Promise.
bool make_promise(JSCContext* context, gobject_ptr<JSCValue>& promise, gobject_ptr<JSCValue>& resolve) {
  auto pair = adopt(jsc_context_evaluate(
      context, "(function(){let r;const p=new Promise(function(x){r=x;});return {p:p,r:r};})()", -1));
  if (!pair || !jsc_value_is_object(pair.get())) return false;
  promise = adopt(jsc_value_object_get_property(pair.get(), "p"));
  resolve = adopt(jsc_value_object_get_property(pair.get(), "r"));
  return promise && resolve && jsc_value_is_function(resolve.get());
}

JSCValue* run_picker(const char* name, WebKitWebPage* page, bool directory, bool multiple, const std::string& title,
                     const std::string& default_path, const std::vector<std::string>& filters) {
  JSCContext* context = jsc_context_get_current();
  if (page == nullptr) {
    const std::string text = std::string(name) + " requires a frame context.";
    jsc_context_throw(context, text.c_str());
    return jsc_value_new_undefined(context);
  }
  gobject_ptr<JSCValue> promise;
  gobject_ptr<JSCValue> resolve;
  if (!make_promise(context, promise, resolve)) return jsc_value_new_undefined(context);
  const std::int32_t id = next_request_id++;
  pending()[id] = pending_picker{retain(context), std::move(resolve), directory};

  GVariantBuilder list;
  g_variant_builder_init(&list, G_VARIANT_TYPE("as"));
  for (const auto& f : filters) g_variant_builder_add(&list, "s", f.c_str());
  GVariant* params = g_variant_new(messages::file_dialog_request_type, id, directory ? TRUE : FALSE,
                                   multiple ? TRUE : FALSE, title.c_str(), default_path.c_str(), &list);
  webkit_web_page_send_message_to_view(page, webkit_user_message_new(messages::file_dialog_request, params),
                                       nullptr, nullptr, nullptr);
  return promise.release();
}

JSCValue* directory_picker(GPtrArray* args, gpointer data) {
  return run_picker("DirectoryPicker", static_cast<WebKitWebPage*>(data), true, false, string_argument(args, 0), string_argument(args, 1),
                    {});
}

JSCValue* file_picker(GPtrArray* args, gpointer data) {
  return run_picker("FilePicker", static_cast<WebKitWebPage*>(data), false, bool_argument(args, 0), string_argument(args, 1),
                    string_argument(args, 2), string_list_argument(args, 3));
}

void define_function(JSCContext* context, JSCValue* object, const char* name, GCallback callback, gpointer data,
                     GDestroyNotify destroy) {
  auto fn = adopt(jsc_value_new_function_variadic(context, name, callback, data, destroy, JSC_TYPE_VALUE));
  jsc_value_object_define_property_data(
      object, name, static_cast<JSCValuePropertyFlags>(JSC_VALUE_PROPERTY_CONFIGURABLE | JSC_VALUE_PROPERTY_ENUMERABLE),
      fn.get());
}

}  // namespace

gobject_ptr<JSCValue> make_file_system_object(WebKitWebPage* page, JSCContext* context) {
  auto object = adopt(jsc_value_new_object(context, nullptr, nullptr));
  define_function(context, object.get(), "ReadFile", G_CALLBACK(read_file), nullptr, nullptr);
  define_function(context, object.get(), "WriteFile", G_CALLBACK(write_file), nullptr, nullptr);
  define_function(context, object.get(), "Exists", G_CALLBACK(exists), nullptr, nullptr);
  define_function(context, object.get(), "LastModified", G_CALLBACK(last_modified), nullptr, nullptr);
  define_function(context, object.get(), "ListDirectory", G_CALLBACK(list_directory), nullptr, nullptr);
  define_function(context, object.get(), "DirectoryPicker", G_CALLBACK(directory_picker), g_object_ref(page), g_object_unref);
  define_function(context, object.get(), "FilePicker", G_CALLBACK(file_picker), g_object_ref(page),
                  g_object_unref);
  return object;
}

void settle_file_dialog(WebKitUserMessage* message) {
  GVariant* params = webkit_user_message_get_parameters(message);
  if (params == nullptr || !g_variant_is_of_type(params, G_VARIANT_TYPE(messages::file_dialog_response_type)))
    return;
  std::int32_t id = 0;
  GVariant* paths_variant = nullptr;
  g_variant_get(params, "(i@as)", &id, &paths_variant);
  gsize count = 0;
  const gchar** paths = g_variant_get_strv(paths_variant, &count);

  auto it = pending().find(id);
  if (it != pending().end()) {
    pending_picker entry = std::move(it->second);
    pending().erase(it);  // each answer settles at most one promise
    JSCContext* context = entry.context.get();
    gobject_ptr<JSCValue> value;
    if (entry.directory)
      value = adopt(count == 0 ? jsc_value_new_null(context) : jsc_value_new_string(context, paths[0]));
    else
      value = adopt(jsc_value_new_array_from_strv(context, paths));
    auto ignored = adopt(jsc_value_function_call(entry.resolve.get(), JSC_TYPE_VALUE, value.get(), G_TYPE_NONE));
  }
  g_free(paths);
  g_variant_unref(paths_variant);
}

}  // namespace kvt::page
