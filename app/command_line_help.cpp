#include "app/command_line_help.hpp"

#include <array>
#include <string_view>

#include "app/deployment.hpp"
#include "app/launch_options.hpp"

namespace kvt {

namespace {

struct switch_line {
  std::string_view name;  // with its argument, as typed
  std::string_view meaning;
};

constexpr std::array<switch_line, 11> switch_lines = {{
    {"--port=N", "TCP port of the local command server (default 8084)"},
    {"--dev", "open the development server on http://localhost:5173"},
    {"--staging", "open the staging web application"},
    {"--runner", "runner mode: no prompt about unsaved changes, --model is ignored"},
    {"--tools", "open the web inspector beside the window"},
    {"--model=FILE", "hand FILE to the page once it has connected"},
    {"--ros2", "serve the page's ROS 2 traffic through the ROS buffer"},
    {"--ros2-buffer=SIZE", "size of the ROS buffer: MB, or with a unit (kb, kib, mb, mib, gb, gib, b); at most 1 GB"},
    {"--initial-show-state=S", "open the window minimized or maximized"},
    {"--help", "print this help and exit"},
    {"--version", "print the version and exit"},
}};

constexpr std::size_t name_column = 26;

void append_line(std::string& out, std::string_view name, std::string_view meaning) {
  out.append("  ").append(name);
  out.append(name.size() + 2 < name_column ? name_column - 2 - name.size() : 1, ' ');
  out.append(meaning).append("\n");
}

}  // namespace

std::string help_text() {
  std::string out =
      "Usage: kestrel-connect [OPTION]...\n"
      "Runs the Kestrel simulation web application in a window and keeps it in step\n"
      "with industrial controllers.\n"
      "\n"
      "Options:\n";
  for (const switch_line& s : switch_lines) append_line(out, s.name, s.meaning);
  out.append("\nEnvironment:\n");
  append_line(out, ros2_buffer_variable, "size of the ROS buffer when --ros2-buffer is not given (default 64 MB)");
  return out;
}

std::string version_text() {
  return "kestrel-connect (Kestrel Connect) " + std::string(deployment::version) + "\n";
}

}  // namespace kvt
