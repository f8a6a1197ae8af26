#include "browser/desktop.hpp"

#include <gtk/gtk.h>

#include "browser/gobject_ptr.hpp"

namespace kvt::browser {

window_size desktop_size() {
  GdkDisplay* display = gdk_display_get_default();
  GListModel* monitors = display != nullptr ? gdk_display_get_monitors(display) : nullptr;
  if (monitors == nullptr || g_list_model_get_n_items(monitors) == 0) return {1920, 1080};
  auto monitor = adopt(static_cast<GdkMonitor*>(g_list_model_get_item(monitors, 0)));
  GdkRectangle geometry{};
  gdk_monitor_get_geometry(monitor.get(), &geometry);
  return {geometry.width, geometry.height};
}

}  // namespace kvt::browser
