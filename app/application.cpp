#include "app/application.hpp"

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "app/buffers.hpp"
#include "app/cache_directories.hpp"
#include "app/command_line_help.hpp"
#include "app/launch_options.hpp"
#include "app/program_folders.hpp"
#include "platform/executable_path.hpp"
#include "platform/file_lock.hpp"
#include "platform/shared_memory.hpp"
#include "platform/termination.hpp"
#include "browser/browser_host.hpp"
#include "browser/message_dialog.hpp"
#include "browser/session_cookie.hpp"
#include "plc/driver_registry.hpp"
#include "plc/signal_exchange.hpp"
#include "renderer/page_contract.hpp"
#include "ros2/ros_buffer_exchange.hpp"
#include "server/client_hub.hpp"
#include "server/command_relay.hpp"
#include "server/server_thread.hpp"

namespace kvt {

namespace {

// Exit codes of a start-up that cannot go on.
constexpr int exit_no_display = 3;
constexpr int exit_no_buffers = 2;
constexpr int exit_no_cache = 4;

// The three buffers of this process. Their names are removed on a quick exit
// too (the command server ends the process that way when its port is taken),
// so that no shared-memory object outlives the program.
struct process_buffers {
  shared_memory command;
  shared_memory signal;
  shared_memory ros;
};
process_buffers* live_buffers = nullptr;

void unlink_buffer_names() {
  if (live_buffers == nullptr) return;
  for (shared_memory* m : {&live_buffers->command, &live_buffers->signal, &live_buffers->ros})
    m->unlink_name();
}

// Creates one buffer, or says on standard error why it cannot.
bool create_buffer(shared_memory& buffer, const std::string& name, std::uint64_t size) {
  std::string refusal;
  if (buffer.create(name, size, &refusal)) return true;
  if (!refusal.empty())
    std::fprintf(stderr, "Kestrel Connect: refusing the shared memory %s: %s\n", name.c_str(), refusal.c_str());
  else
    std::fprintf(stderr, "Kestrel Connect: cannot create the shared memory %s (%llu bytes)\n", name.c_str(),
                 static_cast<unsigned long long>(size));
  return false;
}

bool create_buffers(process_buffers& buffers, const launch_options_record& options) {
  const auto pid = static_cast<unsigned long>(getpid());
  const buffer_names names = buffer_names_for(pid);
  if (!create_buffer(buffers.command, names.command, page::command::buffer_bytes) ||
      !create_buffer(buffers.signal, names.signal, page::signal::buffer_bytes) ||
      !create_buffer(buffers.ros, names.ros, options.ros2_buffer))
    return false;
  write_ros_header(buffers.ros);
  return true;
}

// Writes a text for "--help" or "--version"; the exit code is 1 when
// standard output could not take it.
int answer(const std::string& text) {
  std::fputs(text.c_str(), stdout);
  return std::fflush(stdout) == 0 && std::ferror(stdout) == 0 ? 0 : 1;
}

}  // namespace

int run_application(int argc, char** argv) {
  const launch_options_record& options = parse_launch_options(argc, argv);
  // Answered before any display, buffer or lock is touched, so that both
  // work over SSH and in scripts.
  if (options.help) return answer(help_text());
  if (options.version) return answer(version_text());
  browser::prepare_web_process_environment();
  // Every thread started from here on (GTK's own D-Bus thread among them)
  // inherits the mask; the UI loop takes the signals once its handlers are
  // in place, so a request to end that comes early is never fatal.
  platform::block_termination_signals();
  browser::catch_termination_signals();
  if (!browser::init_display()) {
    std::fprintf(stderr,
                 "Kestrel Connect: cannot open a display. Run it in a desktop session, or under a virtual "
                 "display: xvfb-run -a %s\n",
                 argc > 0 ? argv[0] : "kestrel-connect");
    return exit_no_display;
  }
  // Message boxes are dialogs from here on, the window's own once it exists.
  browser::install_message_dialogs(nullptr);

  process_buffers buffers;
  live_buffers = &buffers;
  std::at_quick_exit(unlink_buffer_names);
  if (!create_buffers(buffers, options)) {
    unlink_buffer_names();
    live_buffers = nullptr;
    return exit_no_buffers;
  }

  const auto temp = platform::temporary_directory();
  std::string cache_error;
  cache_directory_lease cache = cache_directory(temp, static_cast<unsigned long>(getpid()), cache_error);
  if (cache.directory.empty()) {
    std::fprintf(stderr, "Kestrel Connect: %s\n", cache_error.c_str());
    unlink_buffer_names();
    live_buffers = nullptr;
    return exit_no_cache;
  }
  clean_cache_directories(temp);

  // The command server's sign-in callbacks install the session in the window.
  browser::route_sign_in_to_browser();

  std::atomic<bool> exchange_shutdown{false};
  std::atomic<bool> server_stop{false};
  // The exchange and server threads raise their own priority as they start.
  std::thread exchange([&] {
    plc::run_signal_exchange(buffers.signal.view(), buffers.signal.size(), plc::registry(), exchange_shutdown);
  });
  // The ROS buffer thread serves the page's ROS 2 requests only when asked for.
  ros2::ros_buffer_worker ros;
  if (options.ros2) ros.start(buffers.ros.view(), buffers.ros.size());
  auto* command_buffer = static_cast<std::byte*>(buffers.command.view());
  std::atomic<bool> listening{false};
  std::thread server([&] {
    server::server_settings settings;
    settings.port = static_cast<std::uint16_t>(options.port);
    settings.command_buffer = command_buffer;
    settings.on_listening = [&listening](std::uint16_t) {
      listening.store(true);
      browser::wake_ui_thread();
    };
    server::run_server(settings, server_stop);
  });
  // The window opens once the command server listens. A taken port is
  // reported in a dialog of its own meanwhile, and the program ends after it.
  browser::run_ui_until(listening);

  // The model named on the command line reaches the page once it registers.
  if (!options.model.empty() && !options.runner) {
    server::clients().when_page_connected([command_buffer, model = options.model] {
      server::command_relay(command_buffer, server::clients()).load_file(model);
    });
  }

  browser::browser_settings settings;
  settings.options = options;
  settings.cache_directory = cache.directory;
  const program_folders folders = find_program_folders(platform::executable_directory());
  std::error_code missing;
  if (!std::filesystem::is_directory(folders.extensions, missing))
    std::fprintf(stderr, "Kestrel Connect: the page bridge's folder %s is missing; pages get no connect object\n",
                 folders.extensions.c_str());
  settings.extension_directory = folders.extensions;
  settings.icon_directory = folders.icons;
  // WebKit refuses root's home as a sandbox path: as root the page works in
  // the temporary directory only.
  const auto home = platform::home_directory();
  settings.file_access = {home == "/root" ? std::filesystem::path() : home, temp};
  const int status = browser::run_browser(settings, {&buffers.command, &buffers.signal, &buffers.ros});

  // Workers stop in a fixed order: the exchange, the command server, the ROS
  // buffer thread; the bridge is shut down only once nothing can call it.
  exchange_shutdown.store(true);
  exchange.join();
  server_stop.store(true);
  server.join();
  ros.stop_and_shut_down();
  live_buffers = nullptr;
  return status;
}

}  // namespace kvt
