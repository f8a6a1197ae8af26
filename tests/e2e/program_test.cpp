// The program's own binary: its WebSocket port, its shared memory opened by
// name as the page's renderer opens it, and a real Modbus TCP server behind
// it on loopback.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/buffers.hpp"
#include "platform/shared_memory.hpp"
#include "demo/controllers/modbus_server.hpp"
#include "plc/value_type.hpp"
#include "renderer/page_contract.hpp"
#include "support/child_process.hpp"
#include "support/eventually.hpp"
#include "support/page_player.hpp"
#include "support/ws_client.hpp"

namespace kvt::test {
namespace {

using std::chrono::milliseconds;

const std::string program = built_program("app/kestrel-connect");

// Waits until the program accepts WebSocket connections on `port`.
std::unique_ptr<ws_client> connect_when_ready(std::uint16_t port, child_process& child) {
  std::unique_ptr<ws_client> client;
  eventually(
      [&] {
        if (child.wait(milliseconds(0))) return true;  // ended early: give up
        try {
          client = std::make_unique<ws_client>(port);
          return true;
        } catch (const std::exception&) {
          return false;
        }
      },
      std::chrono::seconds(10));
  return client;
}

std::string request(int id, std::string_view type, const std::string& data) {
  return "{\"id\":" + std::to_string(id) + ",\"type\":\"" + std::string(type) + "\",\"data\":" + data + '}';
}

std::string modbus_params(std::uint16_t port, int flags, double scan_rate = 0.005) {
  return "{\"protocol\":4,\"type\":\"\",\"host\":\"127.0.0.1\",\"port\":" + std::to_string(port) +
         ",\"unitId\":1,\"flags\":" + std::to_string(flags) + ",\"rack\":0,\"slot\":0,\"scanRate\":" +
         std::to_string(scan_rate) + "}";
}

// Modbus tag descriptor: bit 0..3, address 4..19, area 20..22, type 49..52.
std::uint64_t modbus_tag(std::uint32_t area, std::uint32_t address, std::uint32_t type, std::uint32_t bit = 0) {
  return plc::make_tag(type, (std::uint64_t{area} << 20) | (std::uint64_t{address} << 4) | bit);
}

constexpr std::uint32_t coils = 1, discrete_inputs = 2, holding = 3, input_registers = 4;

TEST(Program, ASecondInstanceOnTheSamePortExitsWithCode1) {
  const auto port = free_port();
  child_process first({program, "--port=" + std::to_string(port)});
  auto client = connect_when_ready(port, first);
  ASSERT_TRUE(client) << first.stderr_text();

  child_process second({program, "--port=" + std::to_string(port)});
  // The dialog says so, and the program waits until it is closed. Focusing
  // a dialog that is still being mapped can fail: try a few times.
  int dismissed = -1;
  for (int attempt = 0; attempt < 4 && dismissed != 0; ++attempt)
    dismissed = std::system("timeout 20 xdotool search --sync --name '^Port Occupied$' windowfocus --sync "
                            "key --delay 200 Return >/dev/null 2>&1");
  EXPECT_EQ(dismissed, 0);
  EXPECT_EQ(second.wait(std::chrono::seconds(10)), 1);
  EXPECT_NE(second.stderr_text().find("Port Occupied: Port " + std::to_string(port) + " is already in use"),
            std::string::npos)
      << second.stderr_text();
  // Its shared memory did not outlive it.
  shared_memory probe;
  EXPECT_FALSE(probe.open(buffer_names_for(static_cast<unsigned long>(second.pid())).signal,
                          page::signal::buffer_bytes));

  client.reset();
  EXPECT_EQ(first.terminate(), 0) << first.stderr_text();
}

TEST(Program, SignalsFlowBetweenTheBufferAndAModbusServer) {
  modbus_test_server plc;
  const auto port = free_port();
  child_process app({program, "--port=" + std::to_string(port)});
  auto page_ws = connect_when_ready(port, app);
  ASSERT_TRUE(page_ws) << app.stderr_text();
  page_ws->register_as_page();

  // The signal buffer, opened by name as the renderer does.
  shared_memory signal;
  ASSERT_TRUE(signal.open(buffer_names_for(static_cast<unsigned long>(app.pid())).signal, page::signal::buffer_bytes));
  page_player page(static_cast<std::uint32_t*>(signal.view()), page::signal::buffer_words);

  page_ws->send_text(request(1, "ServerConnect", modbus_params(plc.port(), 0)));
  ASSERT_EQ(page_ws->next_text(), R"({"id":1,"data":true})");

  plc.set_coil(3, true);
  plc.set_discrete_input(4, true);
  plc.set_holding_register(20, 0x1234);
  plc.set_input_register(30, 0xBEEF);
  plc.set_holding_register(40, 0x5678);  // low word first
  plc.set_holding_register(41, 0x1234);

  const std::string outputs = "[" + std::to_string(modbus_tag(coils, 3, plc::value_type::boolean)) + "," +
                              std::to_string(modbus_tag(discrete_inputs, 4, plc::value_type::boolean)) + "," +
                              std::to_string(modbus_tag(holding, 20, plc::value_type::u16)) + "," +
                              std::to_string(modbus_tag(input_registers, 30, plc::value_type::s16)) + "," +
                              std::to_string(modbus_tag(holding, 40, plc::value_type::u32)) + "]";
  const std::string inputs = "[" + std::to_string(modbus_tag(holding, 50, plc::value_type::boolean, 3)) + "," +
                             std::to_string(modbus_tag(coils, 60, plc::value_type::boolean)) + "," +
                             std::to_string(modbus_tag(holding, 70, plc::value_type::s32)) + "]";
  page_ws->send_text(request(2, "BindingTables",
                             "{\"host\":\"127.0.0.1\",\"id\":5,\"inputs\":{\"version\":1,\"tags\":" + inputs +
                                 "},\"outputs\":{\"version\":2,\"tags\":" + outputs + "}}"));
  ASSERT_EQ(page_ws->next_text(), R"({"id":2,"data":true})");

  // Outputs: the first answered exchange carries all five values.
  std::optional<output_record> record;
  ASSERT_TRUE(eventually([&] {
    auto records = page.request_outputs();
    if (!records || records->empty()) return false;
    record = records->front();
    return true;
  }));
  EXPECT_EQ(record->id, 5);
  EXPECT_EQ(record->version, 2u);
  EXPECT_EQ(record->pairs, (pair_list{{0, 1}, {1, 1}, {2, 0x1234}, {3, static_cast<std::int32_t>(0xBEEF)},
                                      {4, 0x12345678}}));

  // Inputs: a bit in a holding register (read-modify-write keeps the other
  // bits), a coil, a 32-bit value in two registers.
  plc.set_holding_register(50, 0x0101);
  ASSERT_TRUE(page.deliver_inputs({{.id = 5, .version = 1, .pairs = {{0, 1}, {1, 1}, {2, -2}}}}));
  EXPECT_TRUE(eventually([&] { return plc.holding_register(50) == 0x0109; }));
  EXPECT_TRUE(eventually([&] { return plc.coil(60); }));
  EXPECT_TRUE(eventually([&] { return plc.holding_register(70) == 0xFFFE && plc.holding_register(71) == 0xFFFF; }));

  // A change on the server arrives as a change record.
  plc.set_holding_register(20, 0x4321);
  EXPECT_TRUE(eventually([&] {
    auto records = page.request_outputs();
    return records && !records->empty() && records->front().pairs == pair_list{{2, 0x4321}};
  }));

  page_ws->send_text(request(3, "ServerStatus", R"({"host":"127.0.0.1"})"));
  EXPECT_EQ(page_ws->next_text(), R"({"id":3,"data":true})");
  plc.stop();
  EXPECT_TRUE(eventually([&] {
    page_ws->send_text(request(4, "ServerStatus", R"({"host":"127.0.0.1"})"));
    return page_ws->next_text() == R"({"id":4,"data":false})";
  }));

  page_ws.reset();
  EXPECT_EQ(app.terminate(), 0) << app.stderr_text();
}

TEST(Program, ACacheFolderThatCannotBeCreatedEndsTheStartWithAMessage) {
  // A file where the temporary directory should be: nothing can go below it.
  const std::string blocker = "/tmp/kvt-not-a-folder-" + std::to_string(getpid());
  { std::FILE* f = std::fopen(blocker.c_str(), "w"); ASSERT_NE(f, nullptr); std::fclose(f); }
  child_process app({program, "--port=" + std::to_string(free_port())}, {"TMPDIR=" + blocker});
  EXPECT_EQ(app.wait(std::chrono::seconds(20)), 4);
  EXPECT_NE(app.stderr_text().find("cannot create"), std::string::npos) << app.stderr_text();
  // The buffers made before it are gone with it.
  shared_memory probe;
  EXPECT_FALSE(probe.open(buffer_names_for(static_cast<unsigned long>(app.pid())).command,
                          page::command::buffer_bytes));
  std::remove(blocker.c_str());
}

// Another user's object under one of the program's buffer names (the name
// holds the process id, so the program is held in a shell until the object
// is made), or one that everyone may open: the program refuses to start.
TEST(Program, ABufferNameTakenByAnObjectThatIsNotOursAloneEndsTheStart) {
  const struct {
    mode_t mode;
    bool other_owner;
    const char* says;
  } cases[] = {{0666, false, "other users may open it (mode 0666)"},
               {0600, true, "belongs to another user (uid 65534)"}};
  for (const auto& c : cases) {
    if (c.other_owner && geteuid() != 0) {
      std::printf("not root: the case of another user's object is left out\n");
      continue;
    }
    const std::string gate = "/tmp/kvt-gate-" + std::to_string(getpid());
    ASSERT_EQ(mkfifo(gate.c_str(), 0600), 0);
    child_process app({"/bin/sh", "-c", "read line < \"$0\" && exec \"$@\"", gate, program,
                       "--port=" + std::to_string(free_port())});
    const std::string object = "/" + buffer_names_for(static_cast<unsigned long>(app.pid())).signal;
    const int fd = shm_open(object.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
    ASSERT_GE(fd, 0);
    fchmod(fd, c.mode);
    if (c.other_owner) {
      ASSERT_EQ(fchown(fd, 65534, 65534), 0);
    }
    close(fd);
    { std::FILE* f = std::fopen(gate.c_str(), "w"); ASSERT_NE(f, nullptr); std::fputs("go\n", f); std::fclose(f); }
    EXPECT_EQ(app.wait(std::chrono::seconds(20)), 2);
    const std::string text = app.stderr_text();
    EXPECT_NE(text.find("refusing the shared memory " + object.substr(1)), std::string::npos) << text;
    EXPECT_NE(text.find(c.says), std::string::npos) << text;
    // The object is left as it was; the command buffer made before it is gone.
    struct stat st {};
    const int left = shm_open(object.c_str(), O_RDONLY, 0);
    EXPECT_TRUE(left >= 0 && fstat(left, &st) == 0 && st.st_size == 0);
    if (left >= 0) close(left);
    shm_unlink(object.c_str());
    shared_memory probe;
    EXPECT_FALSE(probe.open(buffer_names_for(static_cast<unsigned long>(app.pid())).command,
                            page::command::buffer_bytes));
    std::remove(gate.c_str());
  }
}

TEST(Program, WithoutADisplayItSaysHowToRunAndStops) {
  child_process app({program, "--port=" + std::to_string(free_port())}, {"DISPLAY=", "WAYLAND_DISPLAY="});
  EXPECT_EQ(app.wait(std::chrono::seconds(20)), 3);
  EXPECT_NE(app.stderr_text().find("xvfb-run"), std::string::npos) << app.stderr_text();
}

TEST(Program, TerminationDuringStartUpStillEndsInOrder) {
  const auto port = free_port();
  child_process app({program, "--port=" + std::to_string(port)});
  // The command server answers before the window exists; the request to end
  // comes in that gap.
  auto client = connect_when_ready(port, app);
  ASSERT_TRUE(client) << app.stderr_text();
  client.reset();
  EXPECT_EQ(app.terminate(std::chrono::seconds(20)), 0) << app.stderr_text();
  shared_memory probe;
  EXPECT_FALSE(probe.open(buffer_names_for(static_cast<unsigned long>(app.pid())).signal, page::signal::buffer_bytes));
}

}  // namespace
}  // namespace kvt::test
