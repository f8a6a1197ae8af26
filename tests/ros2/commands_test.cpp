// The ROS 2 commands over a real WebSocket: validation messages in order,
// replies, and what reaches the bridge library.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "app/launch_options.hpp"
#include "standin_control.hpp"
#include "support/server_fixture.hpp"
#include "support/ws_client.hpp"

namespace kvt::test {
namespace {

std::string request(int id, std::string_view type, std::string_view data) {
  return "{\"id\":" + std::to_string(id) + ",\"type\":\"" + std::string(type) + "\",\"data\":" + std::string(data) + '}';
}
std::string null_error(int id, std::string_view message) {
  return "{\"id\":" + std::to_string(id) + ",\"data\":null,\"error\":\"" + std::string(message) + "\"}";
}
std::string false_error(int id, std::string_view message) {
  return "{\"id\":" + std::to_string(id) + ",\"data\":false,\"error\":\"" + std::string(message) + "\"}";
}
std::string reply(int id, std::string_view data) { return "{\"id\":" + std::to_string(id) + ",\"data\":" + std::string(data) + '}'; }

void enable_ros2(bool on) {
  std::vector<std::string> args{"kvt_ros2_tests"};
  if (on) args.emplace_back("--ros2");
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  parse_launch_options(static_cast<int>(argv.size()), argv.data());
}

class Ros2Commands : public ::testing::Test {
 protected:
  Ros2Commands() : page(server.port()) { page.register_as_page(); }

  std::optional<std::string> ask(std::string_view type, std::string_view data) {
    page.send_text(request(++last_id, type, data));
    return page.next_text();
  }
  int next_id() const { return last_id + 1; }
  void initialize() {
    enable_ros2(true);
    const int id = next_id();
    ASSERT_EQ(ask("ROS2Initialize", "{}"), reply(id, "true"));
  }

  standin lib;
  server_fixture server;
  ws_client page;
  int last_id = 0;
};

TEST_F(Ros2Commands, WithoutTheRos2Option) {
  enable_ros2(false);
  EXPECT_EQ(ask("ROS2Enabled", "{}"), reply(1, "false"));
  EXPECT_EQ(ask("ROS2Initialize", "{}"), reply(2, "false"));
  EXPECT_EQ(ask("ROS2Reset", "{}"), reply(3, "false"));
  EXPECT_EQ(ask("ROS2GetTypes", "{}"), reply(4, "null"));
  EXPECT_EQ(ask("ROS2CreateNode", R"({"name":"n","namespace":""})"), null_error(5, "ROS2 bridge is not initialized"));
  EXPECT_EQ(ask("ROS2DestroyHandle", R"({"id":1})"), false_error(6, "ROS2 bridge is not initialized"));
  EXPECT_TRUE(lib.calls().empty());
}

TEST_F(Ros2Commands, InitialiseTwiceAndReset) {
  enable_ros2(true);
  EXPECT_EQ(ask("ROS2Reset", "{}"), false_error(1, "ROS2 bridge is not initialized"));
  EXPECT_EQ(ask("ROS2Initialize", "{}"), reply(2, "true"));
  EXPECT_EQ(ask("ROS2Initialize", "{}"), reply(3, "true"));
  EXPECT_EQ(ask("ROS2Reset", "{}"), reply(4, "true"));
  EXPECT_EQ(lib.count("nodegate_initialize"), 1u);
  EXPECT_EQ(lib.count("nodegate_reset"), 1u);
}

TEST_F(Ros2Commands, InitialisationFailureIsAFalseError) {
  enable_ros2(true);
  lib.fail("nodegate_initialize", "rmw \"x\" missing");
  EXPECT_EQ(ask("ROS2Initialize", "{}"), false_error(1, R"(rmw \"x\" missing)"));
}

TEST_F(Ros2Commands, CreateNodeChecksInOrder) {
  initialize();
  const std::vector<std::pair<std::string, std::string>> cases = {
      {R"({})", "Name invalid"},
      {R"({"name":"","namespace":7})", "Name invalid"},
      {R"({"name":5})", "Name invalid"},
      {R"({"name":"a\u0000b","namespace":""})", "Name invalid"},
      {R"({"name":"n","remappings":{"a":1}})", "Namespace invalid"},
      {R"({"name":"n","namespace":null})", "Namespace invalid"},
      {R"({"name":"n","namespace":"","remappings":{"a":"b","c":3}})", "Remappings invalid"},
      {R"({"name":"n","namespace":"","remappings":{"a\u0000":"b"}})", "Remappings invalid"},
  };
  for (const auto& [data, message] : cases) {
    const int id = next_id();
    EXPECT_EQ(ask("ROS2CreateNode", data), null_error(id, message)) << data;
  }
  EXPECT_EQ(lib.count("nodegate_create_node"), 0u);

  int id = next_id();
  EXPECT_EQ(ask("ROS2CreateNode", R"({"remappings":{"chatter":"/news","x":"y"},"namespace":"","name":"talker"})"),
            reply(id, "1"));
  EXPECT_EQ(lib.calls().back(), "nodegate_create_node name=talker namespace= count=2 remappings=chatter:=/news;x:=y;");
  id = next_id();
  EXPECT_EQ(ask("ROS2CreateNode", R"({"name":"b","namespace":"/ns","remappings":[1]})"), reply(id, "2"));
  EXPECT_EQ(lib.calls().back(), "nodegate_create_node name=b namespace=/ns count=0 remappings=(null)");
  lib.fail("nodegate_create_node", "");
  id = next_id();
  EXPECT_EQ(ask("ROS2CreateNode", R"({"name":"c\"q","namespace":""})"), null_error(id, R"(Failed to create node: c\"q)"));
}

TEST_F(Ros2Commands, EndpointChecksInOrder) {
  initialize();
  const std::vector<std::pair<std::string, std::string>> commands = {
      {"ROS2CreatePublisher", "messageType"},   {"ROS2CreateSubscription", "messageType"},
      {"ROS2CreateServiceClient", "serviceType"}, {"ROS2CreateServiceServer", "serviceType"},
      {"ROS2CreateActionClient", "actionType"}, {"ROS2CreateActionServer", "actionType"},
  };
  for (const auto& [command, type_key] : commands) {
    const std::string type_error = type_key == "messageType" ? "Message type invalid"
                                   : type_key == "serviceType" ? "Service type invalid"
                                                               : "Action type invalid";
    const std::string t = "\"" + type_key + "\":\"pkg/T\"";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {R"({"name":"","qos":{"liveliness":2}})", "Node ID invalid"},
        {R"({"nodeId":-1,"name":"x"})", "Node ID invalid"},
        {R"({"nodeId":4294967296,"name":"x"})", "Node ID invalid"},
        {R"({"nodeId":"1","name":"x"})", "Node ID invalid"},
        {R"({"nodeId":1,"name":""})", "Name invalid"},
        {R"({"nodeId":1,"name":"x"})", type_error},
        {R"({"nodeId":1,"name":"x",")" + type_key + R"(":""})", type_error},
        {R"({"nodeId":1,"name":"x",)" + t + R"(,"qos":{"reliability":5,"durability":9}})", "QoS reliability invalid"},
        {R"({"nodeId":1,"name":"x",)" + t + R"(,"qos":{"durability":5}})", "QoS durability invalid"},
        {R"({"nodeId":1,"name":"x",)" + t + R"(,"qos":{"history":4}})", "QoS history invalid"},
        {R"({"nodeId":1,"name":"x",)" + t + R"(,"qos":{"liveliness":2}})", "QoS liveliness invalid"},
        {R"({"nodeId":1,"name":"x",)" + t + R"(,"qos":{"liveliness":6}})", "QoS liveliness invalid"},
        {R"({"nodeId":1,"name":"x",)" + t + R"(,"qos":{"depth":4294967296}})", "QoS depth invalid"},
        {R"({"nodeId":1,"name":"x",)" + t + R"(,"qos":{"depth":-1}})", "QoS depth invalid"},
        {R"({"nodeId":1,"name":"x",)" + t + R"(,"qos":{"deadline":-0.5}})", "QoS deadline invalid"},
        {R"({"nodeId":1,"name":"x",)" + t + R"(,"qos":{"lifespan":-1}})", "QoS lifespan invalid"},
        {R"({"nodeId":1,"name":"x",)" + t + R"(,"qos":{"livelinessLeaseDuration":-2}})",
         "QoS liveliness lease duration invalid"},
    };
    for (const auto& [data, message] : cases) {
      const int id = next_id();
      EXPECT_EQ(ask(command, data), null_error(id, message)) << command << ' ' << data;
    }
  }
  EXPECT_EQ(lib.calls().size(), 1u);  // only the initialisation
}

TEST_F(Ros2Commands, EndpointQosReachesTheLibrary) {
  initialize();
  int id = next_id();
  EXPECT_EQ(ask("ROS2CreatePublisher",
                R"({"nodeId":0,"name":"/chatter","messageType":"std_msgs/msg/String","qos":{"reliability":"x",)"
                R"("durability":1,"history":1,"liveliness":3,"depth":10,"deadline":0,"lifespan":2.5,)"
                R"("livelinessLeaseDuration":1,"avoidRosNamespaceConventions":true}})"),
            reply(id, "1"));
  auto calls = lib.calls();
  EXPECT_EQ(calls.back(), "nodegate_create_publisher node=0 name=/chatter type=std_msgs/msg/String");
  auto b = lib.record_bytes(calls.size() - 1);
  ASSERT_EQ(b.size(), 120u);
  EXPECT_EQ(b[24], 0);  // reliability given as a string: unset
  EXPECT_EQ(b[32], 1);
  EXPECT_EQ(b[36], 1);
  EXPECT_EQ(b[40], 1);
  EXPECT_EQ(b[48], 1);
  EXPECT_EQ(b[52], 3);
  EXPECT_EQ(b[56], 1);
  EXPECT_EQ(b[60], 10);
  EXPECT_EQ(b[64], 1);  // a deadline of 0 is set
  double v = 0;
  std::memcpy(&v, &b[88], 8);
  EXPECT_EQ(v, 2.5);
  EXPECT_EQ(b[112], 1);
  EXPECT_EQ(b[113], 1);

  // A "qos" that is not an object leaves everything unset.
  id = next_id();
  EXPECT_EQ(ask("ROS2CreateActionServer", R"({"nodeId":4294967295,"name":"/fib","actionType":"pkg/action/F","qos":3})"),
            reply(id, "2"));
  calls = lib.calls();
  EXPECT_EQ(calls.back(), "nodegate_create_action_server node=4294967295 name=/fib type=pkg/action/F");
  b = lib.record_bytes(calls.size() - 1);
  for (std::size_t i = 24; i < 120; ++i) EXPECT_EQ(b[i], 0) << i;

  lib.fail("nodegate_create_service_client", "");
  id = next_id();
  EXPECT_EQ(ask("ROS2CreateServiceClient", R"({"nodeId":1,"name":"/add","serviceType":"pkg/srv/Add"})"),
            null_error(id, "Failed to create service client: /add"));
}

TEST_F(Ros2Commands, DestroyHandle) {
  initialize();
  EXPECT_EQ(ask("ROS2DestroyHandle", R"({"id":4294967296})"), false_error(2, "Invalid ROS2 handle"));
  EXPECT_EQ(ask("ROS2DestroyHandle", R"({"id":-1})"), false_error(3, "Invalid ROS2 handle"));
  EXPECT_EQ(ask("ROS2DestroyHandle", R"({})"), false_error(4, "Invalid ROS2 handle"));
  EXPECT_EQ(ask("ROS2DestroyHandle", R"({"id":4294967295})"), reply(5, "true"));
  EXPECT_EQ(lib.calls().back(), "nodegate_destroy_handle 4294967295");
  lib.fail("nodegate_destroy_handle", "");
  EXPECT_EQ(ask("ROS2DestroyHandle", R"({"id":3})"), false_error(6, "Failed to destroy ROS2 handle"));
}

TEST_F(Ros2Commands, GetTypesReportsDiscoveryFailures) {
  enable_ros2(true);
  ::setenv("AMENT_PREFIX_PATH", "::", 1);
  EXPECT_EQ(ask("ROS2GetTypes", "{}"), null_error(1, "AMENT_PREFIX_PATH is not set"));
  ::unsetenv("AMENT_PREFIX_PATH");
  EXPECT_EQ(ask("ROS2GetTypes", "{}"), null_error(2, "AMENT_PREFIX_PATH is not set"));
  const auto empty = std::filesystem::temp_directory_path() / ("kvt_ros2_empty_" + std::to_string(::getpid()));
  std::filesystem::create_directories(empty);
  ::setenv("AMENT_PREFIX_PATH", empty.c_str(), 1);
  EXPECT_EQ(ask("ROS2GetTypes", "{}"), null_error(3, "No ROS2 types found"));
  std::filesystem::remove_all(empty);
}

TEST_F(Ros2Commands, GetTypesSendsTheEscapedCatalogue) {
  enable_ros2(true);
  const auto root = std::filesystem::temp_directory_path() / ("kvt_ros2_cat_" + std::to_string(::getpid()));
  const auto share = root / "share";
  std::filesystem::create_directories(share / "ament_index/resource_index/rosidl_interfaces");
  std::filesystem::create_directories(share / "pkg/msg");
  std::ofstream(share / "ament_index/resource_index/rosidl_interfaces/pkg") << "msg/Q.idl\n";
  std::ofstream(share / "pkg/msg/Q.json")
      << R"({"type_description_msg":{"type_description":{"type_name":"pkg/msg/Q\"x","fields":[)"
      << R"({"name":"a\\b","type":{"type_id":17,"capacity":0,"string_capacity":0}}]}}})";
  std::ofstream(share / "pkg/msg/Q.idl") << "@verbatim (language=\"comment\", text=\"say \\\"hi\\\"\\tnow\")\n"
                                            "struct Q { @verbatim (language=\"comment\", text=\"x\") string a; };\n";
  ::setenv("AMENT_PREFIX_PATH", root.c_str(), 1);
  EXPECT_EQ(ask("ROS2GetTypes", "{}"),
            reply(1, R"({"messages":[{"name":"pkg/msg/Q\"x","comment":"say \"hi\"\tnow","fields":[)"
                     R"({"name":"a\\b","comment":"","type":6,"array":false,"dynamic":true,"count":0,"maxLength":0,)"
                     R"("messageType":"","fields":null}]}],"services":[],"actions":[]})"));
  std::filesystem::remove_all(root);
}

}  // namespace
}  // namespace kvt::test
