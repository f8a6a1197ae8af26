// The command protocol over a real WebSocket to the running server thread:
// request parsing, replies, page registration, the command-buffer relay and
// the HTTP routes.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "renderer/page_contract.hpp"
#include "server/client_hub.hpp"
#include "server/sign_in_routes.hpp"
#include "support/eventually.hpp"
#include "support/server_fixture.hpp"
#include "support/ws_client.hpp"

namespace kvt::test {
namespace {

namespace cb = kvt::page::command;
using std::chrono::milliseconds;

const std::string buffer_ready(1, static_cast<char>(cb::message_buffer_ready));
const std::string page_registered(1, static_cast<char>(cb::message_register_page));

bool is_binary(const std::optional<ws_message>& m, const std::string& bytes) {
  return m && !m->text && m->bytes == bytes;
}

std::string status_request(int id, std::string_view host = "nowhere") {
  return "{\"id\":" + std::to_string(id) + ",\"type\":\"ServerStatus\",\"data\":{\"host\":\"" + std::string(host) +
         "\"}}";
}

std::string status_reply(int id, bool value) {
  return "{\"id\":" + std::to_string(id) + ",\"data\":" + (value ? "true" : "false") + "}";
}

class CommandProtocol : public ::testing::Test {
 protected:
  server_fixture server;
};

TEST_F(CommandProtocol, UnknownTypeIsAnsweredAndMalformedRequestsAreDropped) {
  ws_client page(server.port());
  page.register_as_page();
  page.send_text(R"({"id":1,"type":"NoSuchCommand","data":{}})");
  EXPECT_EQ(page.next_text(), R"({"id":1,"data":null,"error":"Message type invalid"})");

  // None of these gets a reply: the next reply is the one for id 9.
  for (const char* bad : {R"({"id":2,"type":"ServerStatus"})", R"({"id":3,"type":"ServerStatus","data":5})",
                          R"({"id":-4,"type":"ServerStatus","data":{"host":"x"}})",
                          R"({"id":5.5,"type":"ServerStatus","data":{"host":"x"}})",
                          R"({"id":6,"type":7,"data":{"host":"x"}})", R"([1,2,3])", R"(not json)", R"("text")",
                          R"({"type":"ServerStatus","data":{"host":"x"}})", ""})
    page.send_text(bad);
  page.send_text(status_request(9));
  EXPECT_EQ(page.next_text(), status_reply(9, false));

  // Keys in any order; the id is written back as a signed 32-bit number.
  page.send_text(R"({"data":{"host":"h"},"type":"ServerStatus","id":4294967295})");
  EXPECT_EQ(page.next_text(), status_reply(-1, false));
  page.send_text(R"({"id":10,"type":"serverstatus","data":{}})");
  EXPECT_EQ(page.next_text(), R"({"id":10,"data":null,"error":"Message type invalid"})");
}

TEST_F(CommandProtocol, CommandsNeedAPageAndAreAnsweredOnIt) {
  ws_client other(server.port());
  other.send_text(status_request(1));  // no page yet: dropped

  ws_client page(server.port(), "/any/path/at/all");
  page.register_as_page();
  EXPECT_TRUE(is_binary(other.next(), page_registered));

  other.send_text(status_request(2));
  EXPECT_EQ(page.next_text(), status_reply(2, false));
  page.send_text(status_request(3));
  EXPECT_EQ(page.next_text(), status_reply(3, false));
  EXPECT_FALSE(other.next(milliseconds(100))) << "the sender is not the page";
}

TEST_F(CommandProtocol, RegistrationNotifiesClientsAndMovesThePageRole) {
  ws_client early(server.port());
  ws_client first(server.port());
  first.register_as_page();
  EXPECT_TRUE(is_binary(early.next(), page_registered));

  ws_client late(server.port());
  EXPECT_TRUE(is_binary(late.next(), page_registered)) << "a connection opening while a page exists is told at once";

  // The role moves; the previous page gets no 253 and is no longer answered.
  late.register_as_page();
  EXPECT_TRUE(is_binary(early.next(), page_registered));
  early.send_text(status_request(4));
  EXPECT_EQ(late.next_text(), status_reply(4, false));
  EXPECT_FALSE(first.next(milliseconds(100)));
}

TEST_F(CommandProtocol, QueuedActionsRunInOrderBeforeTheRegistrationNotices) {
  ws_client client(server.port());
  server::clients().when_page_connected([&] {
    for (const auto& c : server::clients().clients()) c->send_binary(std::string("first"));
  });
  server::clients().when_page_connected([&] {
    for (const auto& c : server::clients().clients()) c->send_binary(std::string("second"));
  });
  ws_client page(server.port());
  page.register_as_page();
  EXPECT_TRUE(is_binary(client.next(), "first"));
  EXPECT_TRUE(is_binary(client.next(), "second"));
  EXPECT_TRUE(is_binary(client.next(), page_registered));
}

TEST_F(CommandProtocol, ClientMessagesGoIntoTheBufferAndThePageIsTold) {
  ws_client page(server.port());
  page.register_as_page();
  ws_client client(server.port());
  ASSERT_TRUE(is_binary(client.next(), page_registered));

  client.send_binary(command_message(5, "hello"));
  ASSERT_TRUE(is_binary(page.next(), buffer_ready));
  EXPECT_EQ(server.buffer_word(cb::code_offset), 5u);
  EXPECT_EQ(server.buffer_word(cb::length_offset), 5u);
  EXPECT_EQ(std::memcmp(server.command_buffer() + cb::payload_offset, "hello", 5), 0);
  EXPECT_EQ(server.status(), cb::status_idle);

  client.send_binary(command_message(2, "ignored payload"));
  ASSERT_TRUE(is_binary(page.next(), buffer_ready));
  EXPECT_EQ(server.buffer_word(cb::code_offset), 2u);
  EXPECT_EQ(server.buffer_word(cb::length_offset), 0u);

  // No header, a length beyond the message, a length beyond the payload
  // area, an unknown code: nothing changes and the page hears nothing.
  client.send_binary(std::string(11, '\x01'));
  client.send_binary(command_message(1, 6, "short"));
  client.send_binary(command_message(1, 600'000, "x"));
  client.send_binary(command_message(9, "unknown"));
  client.send_binary(command_message(4, "last"));
  ASSERT_TRUE(is_binary(page.next(), buffer_ready));
  EXPECT_EQ(server.buffer_word(cb::code_offset), 4u);
  EXPECT_EQ(server.buffer_word(cb::length_offset), 4u);
}

TEST_F(CommandProtocol, PageMessagesReachEveryOtherClient) {
  ws_client page(server.port());
  page.register_as_page();
  ws_client a(server.port());
  ws_client b(server.port());
  ASSERT_TRUE(is_binary(a.next(), page_registered));
  ASSERT_TRUE(is_binary(b.next(), page_registered));

  std::string payload(100, '\0');
  for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>(i);
  std::memcpy(server.command_buffer() + cb::payload_offset, payload.data(), payload.size());
  server.set_buffer_word(cb::code_offset, 6);
  server.set_buffer_word(cb::length_offset, 100);
  server.set_status(cb::status_page_message);

  for (ws_client* c : {&a, &b}) {
    auto m = c->next();
    ASSERT_TRUE(m && !m->text);
    ASSERT_EQ(m->bytes.size(), 112u);
    EXPECT_EQ(static_cast<std::uint8_t>(m->bytes[4]), 6);
    EXPECT_EQ(m->bytes.substr(12), payload);
  }
  EXPECT_TRUE(eventually([&] { return server.status() == cb::status_idle; }));
  EXPECT_EQ(server.buffer_word(cb::code_offset), cb::code_relayed);
  page.send_text(status_request(1));
  EXPECT_EQ(page.next_text(), status_reply(1, false)) << "the page does not get its own message";
}

TEST_F(CommandProtocol, PageMessagesWithoutAPageOrWithABadLengthAreConsumed) {
  ws_client client(server.port());
  server.set_buffer_word(cb::code_offset, 1);
  server.set_buffer_word(cb::length_offset, 10);
  server.set_status(cb::status_page_message);
  EXPECT_TRUE(eventually([&] { return server.status() == cb::status_idle; }));
  EXPECT_EQ(server.buffer_word(cb::code_offset), cb::code_relayed);

  ws_client page(server.port());
  page.register_as_page();
  ASSERT_TRUE(is_binary(client.next(), page_registered));
  server.set_buffer_word(cb::code_offset, 1);
  server.set_buffer_word(cb::length_offset, cb::max_payload_bytes + 1);
  server.set_status(cb::status_page_message);
  EXPECT_TRUE(eventually([&] { return server.status() == cb::status_idle; }));
  EXPECT_FALSE(client.next(milliseconds(100))) << "a length beyond the buffer is not sent";
}

class LoadFile : public CommandProtocol {
 protected:
  std::filesystem::path write_file(std::size_t size) {
    const auto path = std::filesystem::temp_directory_path() /
                      ("kvt-load-" + std::to_string(::getpid()) + "-" + std::to_string(size) + ".bin");
    std::ofstream out(path, std::ios::binary);
    for (std::size_t i = 0; i < size; ++i) out.put(static_cast<char>(i * 7 + 3));
    files_.push_back(path);
    return path;
  }
  ~LoadFile() override {
    for (const auto& f : files_) std::filesystem::remove(f);
  }
  std::vector<std::filesystem::path> files_;
};

TEST_F(LoadFile, AFileThatFitsGoesThroughTheBuffer) {
  ws_client page(server.port());
  page.register_as_page();
  const auto path = write_file(cb::max_payload_bytes);
  page.send_binary(command_message(cb::code_load_file, path.string()));
  ASSERT_TRUE(is_binary(page.next(), buffer_ready));
  EXPECT_EQ(server.buffer_word(cb::code_offset), cb::code_load_file);
  EXPECT_EQ(server.buffer_word(cb::length_offset), cb::max_payload_bytes);
  const auto* payload = server.command_buffer() + cb::payload_offset;
  EXPECT_EQ(static_cast<std::uint8_t>(payload[0]), 3);
  EXPECT_EQ(static_cast<std::uint8_t>(payload[cb::max_payload_bytes - 1]),
            static_cast<std::uint8_t>((cb::max_payload_bytes - 1) * 7 + 3));
}

TEST_F(LoadFile, ALargerFileIsSentToThePageAsOneMessage) {
  ws_client page(server.port());
  page.register_as_page();
  ws_client client(server.port());
  ASSERT_TRUE(is_binary(client.next(), page_registered));
  server.set_buffer_word(cb::length_offset, 77);
  const auto path = write_file(cb::max_payload_bytes + 1);
  client.send_binary(command_message(cb::code_load_file, path.string()));
  auto m = page.next();
  ASSERT_TRUE(m && !m->text);
  ASSERT_EQ(m->bytes.size(), cb::max_payload_bytes + 1);
  EXPECT_EQ(static_cast<std::uint8_t>(m->bytes.back()), static_cast<std::uint8_t>(cb::max_payload_bytes * 7 + 3));
  EXPECT_EQ(server.buffer_word(cb::code_offset), cb::code_load_file);
  EXPECT_EQ(server.buffer_word(cb::length_offset), 77u) << "the buffer's length is left alone";
}

TEST_F(LoadFile, AMissingFileSendsNothingAndKeepsTheLength) {
  ws_client page(server.port());
  page.register_as_page();
  server.set_buffer_word(cb::length_offset, 42);
  page.send_binary(command_message(cb::code_load_file, "/nonexistent/kvt/model.kvt"));
  page.send_text(status_request(5));
  EXPECT_EQ(page.next_text(), status_reply(5, false)) << "no 255 came before the reply";
  EXPECT_EQ(server.buffer_word(cb::code_offset), cb::code_load_file);
  EXPECT_EQ(server.buffer_word(cb::length_offset), 42u);
}

TEST_F(CommandProtocol, HttpRoutesAnswerAndEverythingElseIs404) {
  // The actions run on the server thread.
  std::atomic<int> installs{0};
  std::atomic<int> removals{0};
  std::mutex token_mutex;
  std::string token;
  server::set_sign_in_actions({[&](const std::string& t) {
                                 std::lock_guard lock(token_mutex);
                                 token = t;
                                 ++installs;
                               },
                               [&] { ++removals; }});

  const http_reply missing = http_get(server.port(), "/index.html");
  EXPECT_EQ(missing.status, 404);
  EXPECT_EQ(missing.reason, "File Not Found");

  const http_reply first = http_get(server.port(), "/auth-callback?token=abc%2Bdef&x=1");
  EXPECT_EQ(first.status, 200);
  EXPECT_EQ(first.allow_origin, "*");
  EXPECT_EQ(first.content_type, "text/html; charset=utf-8");
  EXPECT_NE(first.body.find("Welcome Back!"), std::string::npos);
  EXPECT_EQ(http_get(server.port(), "/auth-callback?token=abc%2Bdef").status, 200);
  EXPECT_EQ(installs, 1) << "the same token twice installs it once";
  {
    std::lock_guard lock(token_mutex);
    EXPECT_EQ(token, "abc+def");
  }

  const http_reply out = http_get(server.port(), "/signout");
  EXPECT_EQ(out.status, 200);
  EXPECT_NE(out.body.find("signed out of Kestrel Connect"), std::string::npos);
  EXPECT_EQ(removals, 1);
  http_get(server.port(), "/auth-callback?token=abc%2Bdef");
  EXPECT_EQ(installs, 2) << "after signing out the same token installs again";
  server::set_sign_in_actions({});
}

TEST_F(CommandProtocol, WebSocketsFromForeignSitesAreRefused) {
  EXPECT_THROW(ws_client(server.port(), "/", "https://evil.example.com"), std::exception);
  EXPECT_NO_THROW(ws_client(server.port(), "/", "http://localhost:5173"));
  EXPECT_NO_THROW(ws_client(server.port(), "/", "https://app.kestrel.example"));
}

}  // namespace
}  // namespace kvt::test
