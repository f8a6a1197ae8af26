// The browser host: the application's single window with the web view that
// runs the web app, on GTK and WebKitGTK. Runs on the main thread until the
// window has closed.
#pragma once

#include <atomic>
#include <filesystem>
#include <string>
#include <vector>

#include "app/launch_options.hpp"
#include "platform/shared_memory.hpp"

namespace kvt::browser {

struct browser_buffers {
  const shared_memory* command = nullptr;
  const shared_memory* signal = nullptr;
  const shared_memory* ros = nullptr;
};

struct browser_settings {
  launch_options_record options;
  std::filesystem::path cache_directory;   // the browser profile (empty: no persistent profile)
  std::filesystem::path extension_directory;  // holds the page bridge
  std::filesystem::path icon_directory;    // an icon theme folder with the application icon
  std::vector<std::filesystem::path> file_access;  // folders the page's file functions may use
};

// Prepares GTK; false when no display can be opened. Must run on the main
// thread before `run_browser` and before other threads start.
bool init_display();

// Takes SIGINT and SIGTERM from now on, in whichever thread they arrive (the
// browser engine starts threads of its own before the program runs): one
// that comes before the window's loop runs ends `run_browser` at once, one
// that comes later closes the window in order.
void catch_termination_signals();

// Runs the UI thread's pending work (message boxes other threads hand over)
// until `flag` is set; whoever sets it then calls `wake_ui_thread`.
void run_ui_until(const std::atomic<bool>& flag);
void wake_ui_thread();

// Makes WebKit's web processes start without the memory cage that would keep
// them from mapping the shared buffers. Call before the first web process.
void prepare_web_process_environment();

// Opens the window, loads the start URL and runs the UI loop until the
// window has closed (or SIGINT/SIGTERM asked it to close). Returns the exit
// code.
int run_browser(const browser_settings& settings, const browser_buffers& buffers);

}  // namespace kvt::browser
