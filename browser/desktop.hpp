// The desktop the windows open on.
#pragma once

#include "browser/window_geometry.hpp"

namespace kvt::browser {

// The size of the first monitor (1920 × 1080 when none is known).
window_size desktop_size();

}  // namespace kvt::browser
