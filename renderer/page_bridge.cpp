#include "renderer/page_bridge.hpp"

#include <gio/gunixfdlist.h>
#include <unistd.h>

#include <array>
#include <cstdint>

#include "renderer/file_system_functions.hpp"
#include "renderer/process_messages.hpp"

namespace kvt::page {

namespace {

// Read-only data properties: neither writable nor replaceable by assignment,
// as the page must not swap the buffers under the program.
constexpr auto read_only =
    static_cast<JSCValuePropertyFlags>(JSC_VALUE_PROPERTY_CONFIGURABLE | JSC_VALUE_PROPERTY_ENUMERABLE);

void define_read_only(JSCValue* object, const char* name, JSCValue* value) {
  jsc_value_object_define_property_data(object, name, read_only, value);
}

// An ArrayBuffer over the mapping itself: the memory belongs to the mapping,
// so nothing is freed when the buffer is collected.
void define_buffer(JSCContext* context, JSCValue* connect, const char* name, const shared_memory& memory) {
  auto buffer = adopt(jsc_value_new_array_buffer(context, memory.view(), memory.size(), nullptr, nullptr));
  if (buffer) define_read_only(connect, name, buffer.get());
}

}  // namespace

void page_bridge::context_created(WebKitWebPage* page, JSCContext* context) {
  waiting_.push_back({retain(page), retain(context)});
  bind_waiting_contexts();
}

void page_bridge::bind_waiting_contexts() {
  if (!buffers_open()) return;
  for (auto& w : waiting_) install(w.page.get(), w.context.get());
  waiting_.clear();
}

void page_bridge::install(WebKitWebPage* page, JSCContext* context) {
  auto global = adopt(jsc_context_get_global_object(context));
  if (!global) return;  // a context whose frame has gone
  auto connect = adopt(jsc_value_new_object(context, nullptr, nullptr));
  jsc_value_object_set_property(global.get(), "connect", connect.get());
  define_buffer(context, connect.get(), "commandBuffer", command_);
  define_buffer(context, connect.get(), "signalBuffer", signal_);
  define_buffer(context, connect.get(), "rosBuffer", ros_);
  auto file_system = make_file_system_object(page, context);
  define_read_only(connect.get(), "fileSystem", file_system.get());
}

void page_bridge::setup_shared_memory(WebKitUserMessage* message) {
  GVariant* params = webkit_user_message_get_parameters(message);
  if (params == nullptr || !g_variant_is_of_type(params, G_VARIANT_TYPE(messages::setup_shared_memory_type)))
    return;
  const gchar* names[3] = {};
  gint32 sizes[3] = {};
  g_variant_get(params, "(&si&si&si)", &names[0], &sizes[0], &names[1], &sizes[1], &names[2], &sizes[2]);
  GUnixFDList* fds = webkit_user_message_get_fd_list(message);
  if (fds == nullptr || g_unix_fd_list_get_length(fds) < 3) return;

  const std::array<shared_memory*, 3> buffers = {&command_, &signal_, &ros_};
  for (int i = 0; i < 3; ++i) {
    if (sizes[i] <= 0) return;
    const int fd = g_unix_fd_list_get(fds, i, nullptr);  // a duplicate of ours
    if (fd < 0) return;
    const bool opened = buffers[static_cast<std::size_t>(i)]->open_fd(fd, names[i], static_cast<std::uint64_t>(sizes[i]));
    ::close(fd);
    if (!opened) return;  // stop at the first failure, as an already open buffer does
  }
  bind_waiting_contexts();
}

}  // namespace kvt::page
