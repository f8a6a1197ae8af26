// Owning references to GObjects (and other ref-counted GLib values), released
// when the holder goes away.
#pragma once

#include <glib-object.h>

#include <memory>

namespace kvt {

struct gobject_unref {
  void operator()(gpointer object) const noexcept {
    if (object != nullptr) g_object_unref(object);
  }
};

template <class T>
using gobject_ptr = std::unique_ptr<T, gobject_unref>;

// Takes ownership of a reference the caller already holds (transfer full).
template <class T>
gobject_ptr<T> adopt(T* object) noexcept {
  return gobject_ptr<T>(object);
}

// Adds a reference (transfer none → owned).
template <class T>
gobject_ptr<T> retain(T* object) noexcept {
  return gobject_ptr<T>(object != nullptr ? static_cast<T*>(g_object_ref(object)) : nullptr);
}

struct gfree_deleter {
  void operator()(gpointer p) const noexcept { g_free(p); }
};
using gchar_ptr = std::unique_ptr<gchar, gfree_deleter>;

}  // namespace kvt
