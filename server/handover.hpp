// Work handed to the command server's thread from other threads (discovery
// jobs, later the ROS 2 callbacks): connections belong to that thread alone.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "server/connection.hpp"

namespace kvt::server {

using server_poster = std::function<void(std::function<void()>)>;

// The running server installs how work reaches its loop, and removes it
// (empty function) before it ends.
void set_server_poster(server_poster poster);

// Hands `work` to the running server thread; false (and `work` dropped) when
// no server runs. Safe from any thread.
bool post_to_server(std::function<void()> work);

// Sends a text message to `target` from any thread, on the server thread,
// unless the connection has closed by then.
void post_text(std::weak_ptr<connection> target, std::string message);

}  // namespace kvt::server
