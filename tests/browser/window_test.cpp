// The program as a user runs it: its window under a virtual display, the
// demo page served as the development server, and what the page reports
// (through its file functions), sees in the shared memory, and does over the
// WebSocket and with a Modbus server.
#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <thread>

#include "app/buffers.hpp"
#include "platform/file_lock.hpp"
#include "platform/shared_memory.hpp"
#include "browser/window_harness.hpp"
#include "demo/controllers/modbus_server.hpp"
#include "renderer/page_contract.hpp"
#include "support/eventually.hpp"
#include "support/ws_client.hpp"

namespace kvt::test {
namespace {

namespace fs = std::filesystem;
using std::chrono::seconds;

shared_memory open_ros_buffer(pid_t pid, std::uint64_t size) {
  shared_memory m;
  EXPECT_TRUE(m.open(buffer_names_for(static_cast<unsigned long>(pid)).ros, size));
  return m;
}

// Every process started below `pid`, at any depth.
std::vector<pid_t> descendants(pid_t pid) {
  std::map<pid_t, pid_t> parent_of;
  for (const auto& entry : fs::directory_iterator("/proc")) {
    const std::string name = entry.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream stat(entry.path() / "stat");
    std::string line;
    std::getline(stat, line);
    const auto close = line.rfind(')');
    if (close == std::string::npos) continue;
    std::istringstream rest(line.substr(close + 2));
    char state;
    pid_t ppid = 0;
    rest >> state >> ppid;
    parent_of[std::stoi(name)] = ppid;
  }
  std::vector<pid_t> found;
  for (const auto& [child, parent] : parent_of) {
    for (pid_t up = parent; up > 1; up = parent_of.count(up) ? parent_of[up] : 0)
      if (up == pid) {
        found.push_back(child);
        break;
      }
  }
  return found;
}

// What a process's descriptors refer to ("socket:[123]", "/dev/shm/...").
std::vector<std::string> descriptor_targets(pid_t pid) {
  std::vector<std::string> targets;
  std::error_code ec;
  for (const auto& fd : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec)) {
    const auto target = fs::read_symlink(fd.path(), ec);
    if (!ec) targets.push_back(target.string());
  }
  return targets;
}

// The inodes of a process's TCP sockets, as its descriptors name them.
std::set<std::string> tcp_socket_names(pid_t pid) {
  std::set<std::string> names;
  for (const char* table : {"tcp", "tcp6"}) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/net/" + table);
    std::string line;
    std::getline(in, line);  // the heading
    while (std::getline(in, line)) {
      std::istringstream fields(line);
      std::string field;
      for (int i = 0; i < 10 && fields >> field; ++i) {}
      names.insert("socket:[" + field + "]");  // the tenth field: the inode
    }
  }
  std::set<std::string> own;
  for (const auto& t : descriptor_targets(pid))
    if (names.count(t)) own.insert(t);
  return own;
}

TEST(Window, PageGetsTheSharedBuffersInEveryFrame) {
  window_harness app("\"checks\":true");
  app.start({"--ros2-buffer=2MiB"});
  ASSERT_TRUE(app.wait_for("frame.ros")) << app.report_text() << app.program().stderr_text();
  const auto r = app.report();
  EXPECT_EQ(r.at("connect.command"), "524288");
  EXPECT_EQ(r.at("connect.signal"), "524288");
  EXPECT_EQ(r.at("connect.ros"), "2097152");
  // A sub-frame has a `connect` of its own over the same memory.
  EXPECT_EQ(r.at("frame.own"), "true");
  EXPECT_EQ(r.at("frame.command"), "524288");
  EXPECT_EQ(r.at("frame.ros"), "2097152");
  // The main frame's byte, seen through the sub-frame's buffer.
  EXPECT_EQ(app.wait_for("frame.marker"), "90");
  // The buffers cannot be replaced; the functions are all there.
  EXPECT_EQ(r.at("check.readonly"), "1");
  EXPECT_EQ(r.at("check.functions"), "ReadFile,WriteFile,Exists,LastModified,ListDirectory,DirectoryPicker,FilePicker");

  // The page's bytes are the mapping's bytes, both ways.
  ASSERT_TRUE(app.wait_for("check.marker.written"));
  shared_memory ros = open_ros_buffer(app.program().pid(), 2 * 1024 * 1024);
  auto* bytes = static_cast<std::uint8_t*>(ros.view());
  EXPECT_EQ(bytes[64], 0x5a);
  bytes[65] = 0x33;
  EXPECT_EQ(app.wait_for("check.marker.seen"), "51");
  // The header the program wrote before the page existed.
  std::uint32_t word12 = 0;
  std::memcpy(&word12, bytes + page::ros::page_word_offset, 4);
  EXPECT_EQ(word12, page::ros::initial_page_word);

  // None of the program's own descriptors (command server sockets, buffers,
  // lock files) are open in the browser engine's helper processes; the web
  // process holds the buffers it was handed, and only those.
  ws_client client(app.port());
  const std::set<std::string> sockets = tcp_socket_names(app.program().pid());
  EXPECT_FALSE(sockets.empty());
  const auto helpers = descendants(app.program().pid());
  EXPECT_FALSE(helpers.empty());
  for (const pid_t helper : helpers) {
    std::string command;
    std::getline(std::ifstream("/proc/" + std::to_string(helper) + "/comm"), command);
    const bool web_process = command.starts_with("WebKitWebProc");
    for (const auto& target : descriptor_targets(helper)) {
      EXPECT_EQ(sockets.count(target), 0u) << command << " holds " << target;
      if (!web_process) {
        EXPECT_EQ(target.find("/dev/shm/KVT_"), std::string::npos) << command << " holds " << target;
      }
      EXPECT_FALSE(target.ends_with("/lockfile") || target.ends_with("/instance.lock")) << command << " holds " << target;
    }
  }
}

// Whether a screenshot of the whole display, saved as `png`, has one of
// `colours` ("#RRGGBB") in it.
bool screen_shows(const fs::path& png, const std::vector<std::string>& colours) {
  const std::string command = "xwd -root -silent | convert xwd:- 'png:" + png.string() + "' && convert '" +
                              png.string() + "' -format %c histogram:info:-";
  std::string histogram;
  if (FILE* out = popen(command.c_str(), "r")) {
    char chunk[4096];
    for (std::size_t n; (n = fread(chunk, 1, sizeof chunk, out)) > 0;) histogram.append(chunk, n);
    pclose(out);
  }
  for (const auto& c : colours)
    if (histogram.find(c) != std::string::npos) return true;
  return false;
}

TEST(Window, WebAppThatIsDownAtStartLoadsByItselfOnceItComesUp) {
  window_harness app("", false);  // nothing on the development server's port yet
  app.start();
  // The program's error page, not the engine's: its "Try again" button's
  // colour (light or dark scheme) is on the screen.
  const fs::path shot = fs::current_path() / "error-page-window.png";
  EXPECT_TRUE(eventually(
      [&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        return screen_shows(shot, {"#1F66D1", "#5B9BFF"});
      },
      seconds(30)))
      << app.program().stderr_text();
  EXPECT_EQ(app.report().count("ws.registered"), 0u);

  // The server comes up; the window loads the web app by itself and the
  // page registers as it always does.
  app.serve();
  const auto up = std::chrono::steady_clock::now();
  ASSERT_EQ(app.wait_for("ws.registered", seconds(70)), "1") << app.report_text() << app.program().stderr_text();
  EXPECT_LE(std::chrono::steady_clock::now() - up, seconds(34));  // within the longest wait so far (32 s)
}

TEST(Window, FileFunctionsTouchTheDiskAsThePageAsks) {
  window_harness app("\"checks\":true");
  app.start();
  ASSERT_TRUE(app.wait_for("fs.exists.noargs")) << app.program().stderr_text();
  const auto r = app.report();
  const std::string dir = app.files_dir().string();

  // A view over bytes 8..15 writes exactly those bytes, creating the folders.
  EXPECT_EQ(r.at("fs.write.view"), "true");
  EXPECT_EQ(r.at("fs.read.view"), "8,9,10,11,12,13,14,15");
  EXPECT_EQ(fs::file_size(app.files_dir() / "nested" / "deeper" / "view.bin"), 8u);
  // A string or a plain array is not data: false, and nothing is created.
  EXPECT_EQ(r.at("fs.write.string"), "false");
  EXPECT_EQ(r.at("fs.write.array"), "false");
  EXPECT_FALSE(fs::exists(app.files_dir() / "string"));
  EXPECT_FALSE(fs::exists(app.files_dir() / "array"));
  // Empty and missing files.
  EXPECT_EQ(r.at("fs.write.empty"), "true");
  EXPECT_EQ(r.at("fs.read.empty"), "0");
  EXPECT_EQ(r.at("fs.read.missing"), "null");
  EXPECT_EQ(r.at("fs.exists.dir"), "2");
  EXPECT_EQ(r.at("fs.exists.file"), "1");
  EXPECT_EQ(r.at("fs.exists.missing"), "0");
  EXPECT_EQ(r.at("fs.modified"), "0");  // seconds between the write and now, rounded
  EXPECT_EQ(r.at("fs.modified.missing"), "null");
  // Listings: a file is not a directory; keys begin with the path as given.
  EXPECT_EQ(r.at("fs.list.file"), "null");
  EXPECT_EQ(r.at("fs.list.tree"), dir + "/tree/sub=2;" + dir + "/tree/sub/leaf.txt=1");
  EXPECT_EQ(r.at("fs.list.flat"), dir + "/nested/deeper=2");
  // Missing arguments read as empty.
  EXPECT_EQ(r.at("fs.write.fewargs"), "false");
  EXPECT_EQ(r.at("fs.exists.noargs"), "0");
}

TEST(Window, StartUrlCarriesPortAndVersionAndNavigationStaysOnTheList) {
  window_harness app("\"checks\":true,\"signIn\":true");
  app.start();
  ASSERT_TRUE(app.wait_for("nav.stayed")) << app.program().stderr_text();
  const auto r = app.report();
  EXPECT_EQ(r.at("start.search"), "?port=" + std::to_string(app.port()) + "&version=2.5.0");
  EXPECT_EQ(r.at("userAgent"), "Connect");
  // A frame sent to a host outside the allow-list never leaves about:blank.
  EXPECT_EQ(r.at("nav.blocked"), "about:blank");
  // The sign-in page opens in the system browser; the window stays put.
  EXPECT_EQ(r.at("nav.stayed"), "/");
  std::vector<std::string> urls;
  EXPECT_TRUE(eventually([&] { return !(urls = app.opened_urls()).empty(); }, seconds(10)));
  EXPECT_EQ(urls, std::vector<std::string>{"http://localhost:5173/account/signin/google?connect=" +
                                           std::to_string(app.port())});
}

TEST(Window, PageDrivesAModbusServerThroughTheSignalBuffer) {
  modbus_test_server plc(100);
  plc.set_holding_register(0, 4321);
  plc.set_holding_register(1, 77);
  plc.set_coil(0, true);
  window_harness app("\"modbus\":{\"host\":\"127.0.0.1\",\"port\":" + std::to_string(plc.port()) + ",\"id\":3}");
  app.start();
  ASSERT_EQ(app.wait_for("modbus.connected"), "true") << app.program().stderr_text();
  EXPECT_EQ(app.wait_for("modbus.bound"), "true");
  EXPECT_EQ(app.wait_for("modbus.out.0"), "4321");
  EXPECT_EQ(app.wait_for("modbus.out.1"), "77");
  EXPECT_EQ(app.wait_for("modbus.out.2"), "1");
  // The page's step counter arrives in holding register 10, step after step.
  EXPECT_TRUE(eventually([&] { return plc.holding_register(10) > 5; }, seconds(20)));
  plc.set_holding_register(1, 78);
  EXPECT_TRUE(eventually([&] { return app.report()["modbus.out.1"] == "78"; }, seconds(10)));
}

TEST(Window, ModelFileReachesThePageOnceItRegisters) {
  window_harness app;
  const fs::path model = app.root() / "model.bin";
  std::ofstream(model) << "model bytes";
  app.start({"--model=" + model.string()});
  EXPECT_EQ(app.wait_for("model.text"), "model bytes") << app.program().stderr_text();
  EXPECT_EQ(app.report().at("model.code"), "3");
}

TEST(Window, RunnerModeNeverSendsTheModel) {
  window_harness app;
  const fs::path model = app.root() / "model.bin";
  std::ofstream(model) << "model bytes";
  app.start({"--runner", "--model=" + model.string()});
  ASSERT_EQ(app.wait_for("ws.registered"), "1") << app.program().stderr_text();
  EXPECT_EQ(app.report().at("userAgent"), "Connect Runner");
  std::this_thread::sleep_for(std::chrono::seconds(1));  // a model would have followed the registration at once
  EXPECT_EQ(app.report().count("model.text"), 0u);
}

TEST(Window, PageKeepsRunningWhileTheWindowIsHidden) {
  window_harness app;
  app.start();
  ASSERT_TRUE(app.wait_for("ws.registered")) << app.program().stderr_text();
  shared_memory ros = open_ros_buffer(app.program().pid(), page::ros::default_buffer_bytes);
  auto ticks = [&] { return static_cast<volatile std::uint32_t*>(ros.view())[32]; };
  ASSERT_TRUE(eventually([&] { return ticks() > 0; }, seconds(10)));

  // Unmapped, the window is invisible, as when minimised to the taskbar.
  const std::string hide = "xdotool search --sync --name '^Kestrel Connect$' windowunmap --sync >/dev/null 2>&1";
  ASSERT_EQ(std::system(hide.c_str()), 0);
  const std::uint32_t hidden_at = ticks();
  // Its 20 ms timer goes on at its own pace, not a throttled one.
  EXPECT_TRUE(eventually([&] { return ticks() >= hidden_at + 50; }, seconds(5)));
}

TEST(Window, SecondInstanceGetsItsOwnCacheAndPortAndStaleFoldersGo) {
  window_harness app;
  // Left behind by earlier runs: an old per-process folder without a lock,
  // an old one whose lock is held, a young one, and a stray file.
  const fs::path cache = app.temp_dir() / "Kestrel" / "Connect" / "Cache";
  fs::create_directories(cache / "11111");
  fs::create_directories(cache / "22222");
  fs::create_directories(cache / "33333");
  std::ofstream(cache / "stray") << "x";
  const auto old = fs::file_time_type::clock::now() - std::chrono::minutes(5);
  fs::last_write_time(cache / "11111", old);
  fs::last_write_time(cache / "22222", old);
  platform::file_lock held;
  ASSERT_TRUE(held.try_lock(cache / "22222" / "lockfile", true));
  fs::last_write_time(cache / "22222", old);

  app.start();
  ASSERT_TRUE(app.wait_for("ws.registered")) << app.program().stderr_text();
  EXPECT_TRUE(fs::is_directory(cache / "Main"));
  EXPECT_FALSE(fs::exists(cache / "11111"));
  EXPECT_TRUE(fs::exists(cache / "22222"));
  EXPECT_TRUE(fs::exists(cache / "33333"));
  EXPECT_TRUE(fs::exists(cache / "stray"));

  // A second copy, same temporary directory, its own port and folder.
  const auto second_port = free_port();
  child_process second({built_program("app/kestrel-connect"), "--dev", "--port=" + std::to_string(second_port)},
                       app.environment());
  EXPECT_TRUE(eventually([&] { return fs::is_directory(cache / std::to_string(second.pid())); }, seconds(10)))
      << second.stderr_text();
  EXPECT_TRUE(eventually(
      [&] {
        try {
          return http_get(second_port, "/nothing").status == 404;
        } catch (const std::exception&) {
          return false;
        }
      },
      seconds(10)));
  EXPECT_EQ(second.terminate(), 0) << second.stderr_text();
  EXPECT_TRUE(fs::is_directory(cache / "Main"));
}

TEST(Window, ClosingShutsDownInOrderAndExitsZero) {
  window_harness app;
  app.start();
  ASSERT_TRUE(app.wait_for("ws.registered")) << app.program().stderr_text();
  const pid_t pid = app.program().pid();
  EXPECT_EQ(app.program().terminate(seconds(20)), 0) << app.program().stderr_text();
  // Nothing of the process is left: its buffers are gone, its port is free.
  shared_memory probe;
  EXPECT_FALSE(probe.open(buffer_names_for(static_cast<unsigned long>(pid)).signal, page::signal::buffer_bytes));
}

// Runs an xdotool command line; true when it succeeded.
bool xdotool(const std::string& arguments) {
  return std::system(("timeout 20 xdotool " + arguments + " >/dev/null 2>&1").c_str()) == 0;
}

TEST(Window, UnsavedChangesAskBeforeTheWindowCloses) {
  window_harness app("\"unsaved\":true");
  app.start();
  ASSERT_TRUE(app.wait_for("unsaved.armed")) << app.program().stderr_text();
  // A click in the page: browsers ask before leaving only pages the user touched.
  ASSERT_TRUE(xdotool("mousemove --sync 400 400 click 1"));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  kill(app.program().pid(), SIGTERM);  // as the window's close button
  EXPECT_TRUE(xdotool("search --sync --name '^Unsaved Changes$'"));
  EXPECT_FALSE(app.program().wait(std::chrono::milliseconds(500)).has_value());  // still there, asking
}

TEST(Window, RunnerModeClosesWithoutAsking) {
  window_harness app("\"unsaved\":true");
  app.start({"--runner"});
  ASSERT_TRUE(app.wait_for("unsaved.armed")) << app.program().stderr_text();
  ASSERT_TRUE(xdotool("mousemove --sync 400 400 click 1"));
  EXPECT_EQ(app.program().terminate(seconds(20)), 0) << app.program().stderr_text();
  EXPECT_FALSE(xdotool("search --name '^Unsaved Changes$'"));
}

TEST(Window, PickersAnswerThePageWhenTheDialogIsDismissed) {
  window_harness app("\"pickers\":true");
  std::ofstream(app.files_dir() / "chosen.bin") << "x";
  app.start();
  // A file picker: the user picks a file by typing its path.
  ASSERT_TRUE(app.wait_for("picker.file.open")) << app.program().stderr_text();
  // The dialog takes a moment to map; focusing it fails until it has.
  ASSERT_TRUE(eventually(
      [] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        return xdotool("search --sync --name '^Pick a model$' windowfocus --sync");
      },
      seconds(20)));
  ASSERT_TRUE(xdotool("key --delay 50 ctrl+l"));
  ASSERT_TRUE(xdotool("type --delay 20 '" + (app.files_dir() / "chosen.bin").string() + "'"));
  ASSERT_TRUE(xdotool("key --delay 200 Return"));
  EXPECT_EQ(app.wait_for("picker.file"), "[\"" + (app.files_dir() / "chosen.bin").string() + "\"]");
  // A directory picker, cancelled: null.
  ASSERT_TRUE(app.wait_for("picker.dir.open"));
  ASSERT_TRUE(eventually(
      [] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        return xdotool("search --sync --name '^Pick a folder$' windowfocus --sync");
      },
      seconds(20)));
  ASSERT_TRUE(xdotool("key --delay 200 Escape"));
  EXPECT_EQ(app.wait_for("picker.dir"), "null");
}

TEST(Window, SignInInstallsTheSessionCookieAndSignOutRemovesIt) {
  window_harness app;
  app.start();
  ASSERT_TRUE(app.wait_for("ws.registered")) << app.program().stderr_text();
  auto root_requests_with = [&](const std::string& cookie) {
    std::size_t n = 0;
    for (const auto& r : app.requests())
      if (r.starts_with("/?port=") && (cookie.empty() ? r.ends_with(" ") : r.find(cookie) != std::string::npos)) ++n;
    return n;
  };
  const std::size_t before = root_requests_with("");

  // The web app's site calls back with the token; the window reloads the
  // web app with the cookie.
  const auto page = http_get(app.port(), "/auth-callback?token=abc%20123");
  EXPECT_EQ(page.status, 200);
  EXPECT_NE(page.body.find("Welcome Back!"), std::string::npos);
  EXPECT_TRUE(eventually([&] { return root_requests_with("auth_session=abc 123") >= 1; }, seconds(20)))
      << ::testing::PrintToString(app.requests());
  // The reloaded page has finished loading (its last request carries the cookie too).
  EXPECT_TRUE(eventually(
      [&] {
        for (const auto& r : app.requests())
          if (r == "/config.json auth_session=abc 123") return true;
        return false;
      },
      seconds(20)));
  // The same token again is not installed twice: no second reload of the
  // web app (the page may still fetch what it loads late, so only reloads count).
  const std::size_t installed = root_requests_with("auth_session=abc 123");
  EXPECT_EQ(http_get(app.port(), "/auth-callback?token=abc%20123").status, 200);

  // Signing out removes it, and the page is loaded again without it.
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_EQ(root_requests_with("auth_session=abc 123"), installed);
  const auto out = http_get(app.port(), "/signout");
  EXPECT_NE(out.body.find("Signed Out"), std::string::npos);
  EXPECT_TRUE(eventually([&] { return root_requests_with("") > before; }, seconds(20)))
      << ::testing::PrintToString(app.requests()) << app.program().stderr_text();
}

}  // namespace
}  // namespace kvt::test
