// Type discovery over a ROS 2 installation tree made by the test: two
// prefixes, messages, services and actions, comments from IDL files.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "ros2/idl_comments.hpp"
#include "ros2/type_discovery.hpp"

namespace kvt::test {
namespace {

namespace fs = std::filesystem;
using namespace kvt::ros2;

std::string field(std::string_view name, unsigned type_id, unsigned capacity = 0, unsigned string_capacity = 0,
                  std::string_view nested = "") {
  std::string out = "{\"name\":\"" + std::string(name) + "\",\"type\":{\"type_id\":" + std::to_string(type_id) +
                    ",\"capacity\":" + std::to_string(capacity) + ",\"string_capacity\":" + std::to_string(string_capacity);
  if (!nested.empty()) out += ",\"nested_type_name\":\"" + std::string(nested) + "\"";
  return out + "}}";
}

std::string described(std::string_view name, const std::vector<std::string>& fields) {
  std::string out = "{\"type_name\":\"" + std::string(name) + "\",\"fields\":[";
  for (std::size_t i = 0; i < fields.size(); ++i) out += (i ? "," : "") + fields[i];
  return out + "]}";
}

std::string description(const std::string& main, const std::vector<std::string>& referenced = {}) {
  std::string out = "{\"type_description_msg\":{\"type_description\":" + main + ",\"referenced_type_descriptions\":[";
  for (std::size_t i = 0; i < referenced.size(); ++i) out += (i ? "," : "") + referenced[i];
  return out + "]}}";
}

class Discovery : public ::testing::Test {
 protected:
  Discovery() : root(fs::temp_directory_path() / ("kvt_ros2_types_" + std::to_string(::getpid()))) {
    fs::remove_all(root);
  }
  ~Discovery() override { fs::remove_all(root); }

  fs::path prefix(std::string_view name) { return root / name; }
  void index(const fs::path& p, std::string_view package, std::string_view lines) {
    const auto dir = p / "share/ament_index/resource_index/rosidl_interfaces";
    fs::create_directories(dir);
    std::ofstream(dir / package) << lines;
  }
  void file(const fs::path& p, std::string_view package, std::string_view relative, std::string_view text) {
    const auto path = p / "share" / package / relative;
    fs::create_directories(path.parent_path());
    std::ofstream(path) << text;
  }
  bool discover(type_catalogue& out, std::string& message) {
    return discover_types_in(prefix("a").string() + ":" + prefix("b").string(), out, message);
  }

  fs::path root;
};

TEST_F(Discovery, PrefixListWithoutEntries) {
  type_catalogue c;
  std::string message;
  EXPECT_FALSE(discover_types_in("::", c, message));
  EXPECT_EQ(message, "AMENT_PREFIX_PATH is not set");
  EXPECT_FALSE(discover_types_in("", c, message));
  EXPECT_EQ(message, "AMENT_PREFIX_PATH is not set");
  fs::create_directories(prefix("a"));
  EXPECT_FALSE(discover(c, message));
  EXPECT_EQ(message, "No ROS2 types found");
}

TEST_F(Discovery, MessagesServicesAndActionsFromTwoPrefixes) {
  const auto a = prefix("a");
  const auto b = prefix("b");
  index(a, "pkg",
        "msg/Zeta.idl\r\nmsg/Zeta.msg\nmsg/Alpha.idl\nmsg/NoJson.idl\nmsg/../../x.idl\nsrv/Add.idl\naction/Fibonacci.idl\n"
        "msg/Bad.idl\naction/Fibonacci_Goal.idl");
  file(a, "pkg", "msg/Zeta.json",
       description(described("pkg/msg/Zeta", {field("list", 145, 0, 0, "pkg/msg/Alpha"), field("s20", 17, 0, 20),
                                              field("fixed", 52, 3), field("bounded", 107, 8), field("text", 17)})));
  file(a, "pkg", "msg/Zeta.idl",
       "module pkg { module msg {\n"
       "  @verbatim (language=\"comment\", text=\"first\")\n"
       "  @verbatim (language=\"comment\", text=\"Zeta \" \"type\")\n"
       "  struct Zeta {\n"
       "    @verbatim (language=\"comment\", text=\"one\")\n"
       "    @verbatim (language=\"comment\", text=\"two\" \"\\nlines\")\n"
       "    sequence<pkg::msg::Alpha> list;\n"
       "    const int32 LIMIT = 3;\n"
       "    string<20> s20;\n"
       "    @verbatim (language=\"comment\", text=\"three\")\n"
       "    int16 fixed[3];\n"
       "  };\n"
       "};\n};\n");
  file(a, "pkg", "msg/Alpha.json", description(described("pkg/msg/Alpha", {field("x", 11)})));
  file(a, "pkg", "msg/NoJson.idl", "struct NoJson {};");
  file(a, "pkg", "msg/Bad.json", description(described("pkg/msg/Bad", {field("x", 0)})));
  file(a, "pkg", "srv/Add.json",
       description(described("pkg/srv/Add", {field("request_message", 1, 0, 0, "pkg/srv/Add_Request"),
                                             field("response_message", 1, 0, 0, "pkg/srv/Add_Response")}),
                   {described("pkg/srv/Add_Request", {field("a", 8), field("b", 8)}),
                    described("pkg/srv/Add_Response", {field("sum", 8)})}));
  file(a, "pkg", "srv/Add.idl",
       "struct Add_Request {\n  @verbatim (language=\"comment\", text=\"left\")\n  int64 a;\n  int64 b;\n};\n"
       "struct Add_Response {\n  int64 sum;\n};\n");
  file(a, "pkg", "action/Fibonacci.json",
       description(described("pkg/action/Fibonacci", {field("goal", 1, 0, 0, "pkg/action/Fibonacci_Goal"),
                                                      field("result", 1, 0, 0, "pkg/action/Fibonacci_Result"),
                                                      field("feedback", 1, 0, 0, "pkg/action/Fibonacci_Feedback")}),
                   {described("pkg/action/Fibonacci_Goal", {field("order", 6)}),
                    described("pkg/action/Fibonacci_Result", {field("sequence", 150)}),
                    described("pkg/action/Fibonacci_Feedback", {field("partial", 150)})}));
  file(a, "pkg", "action/Fibonacci_Goal.json", description(described("pkg/action/Fibonacci_Goal", {field("order", 6)})));
  // The second prefix repeats Alpha (the first prefix wins) and adds a
  // skipped package and a skipped service.
  index(b, "pkg", "msg/Alpha.idl\n");
  file(b, "pkg", "msg/Alpha.json", description(described("pkg/msg/Alpha", {field("y", 10)})));
  index(b, "test_msgs", "msg/T.idl\n");
  file(b, "test_msgs", "msg/T.json", description(described("test_msgs/msg/T", {field("x", 10)})));
  index(b, "action_msgs", "srv/CancelGoal.idl\n");
  file(b, "action_msgs", "srv/CancelGoal.json", description(described("action_msgs/srv/CancelGoal", {})));

  type_catalogue c;
  std::string message;
  ASSERT_TRUE(discover(c, message)) << message;
  ASSERT_EQ(c.messages.size(), 2u);
  EXPECT_EQ(c.messages[0].name, "pkg/msg/Alpha");
  ASSERT_EQ(c.messages[0].fields.size(), 1u);
  EXPECT_EQ(c.messages[0].fields[0].name, "x");
  EXPECT_EQ(c.messages[0].fields[0].type, 5);

  const ros2_message& zeta = c.messages[1];
  EXPECT_EQ(zeta.name, "pkg/msg/Zeta");
  EXPECT_EQ(zeta.comment, "Zeta type");
  ASSERT_EQ(zeta.fields.size(), 5u);
  const auto& list = zeta.fields[0];
  EXPECT_EQ(list.type, 10);
  EXPECT_TRUE(list.array);
  EXPECT_TRUE(list.dynamic);
  EXPECT_EQ(list.count, 0u);
  EXPECT_EQ(list.message_type, "pkg/msg/Alpha");
  EXPECT_EQ(list.comment, "two\nlines");
  const auto& s20 = zeta.fields[1];
  EXPECT_EQ(s20.type, 6);
  EXPECT_FALSE(s20.dynamic);
  EXPECT_EQ(s20.max_length, 20u);
  EXPECT_EQ(s20.comment, "");
  const auto& fixed = zeta.fields[2];
  EXPECT_EQ(fixed.type, 13);
  EXPECT_TRUE(fixed.array);
  EXPECT_FALSE(fixed.dynamic);
  EXPECT_EQ(fixed.count, 3u);
  EXPECT_EQ(fixed.comment, "three");
  const auto& bounded = zeta.fields[3];
  EXPECT_EQ(bounded.type, 5);
  EXPECT_TRUE(bounded.array && bounded.dynamic);
  EXPECT_EQ(bounded.count, 8u);
  EXPECT_TRUE(zeta.fields[4].dynamic);
  EXPECT_EQ(zeta.fields[4].max_length, 0u);

  ASSERT_EQ(c.services.size(), 1u);
  EXPECT_EQ(c.services[0].name, "pkg/srv/Add");
  ASSERT_EQ(c.services[0].request_fields.size(), 2u);
  EXPECT_EQ(c.services[0].request_fields[0].comment, "left");
  EXPECT_EQ(c.services[0].request_fields[1].comment, "");
  ASSERT_EQ(c.services[0].response_fields.size(), 1u);
  EXPECT_EQ(c.services[0].response_fields[0].type, 15);
  EXPECT_EQ(c.services[0].response_fields[0].comment, "");

  ASSERT_EQ(c.actions.size(), 1u);
  EXPECT_EQ(c.actions[0].name, "pkg/action/Fibonacci");
  EXPECT_EQ(c.actions[0].goal_fields.size(), 1u);
  EXPECT_EQ(c.actions[0].result_fields.at(0).type, 3);
  EXPECT_TRUE(c.actions[0].feedback_fields.at(0).array);
}

TEST(IdlComments, StructNamesMatchWholeAndCommentsStayWithTheirStruct) {
  const std::string idl =
      "struct Add_RequestExtra { int8 z; };\n"
      "@verbatim (language=\"comment\", text=\"request\")\n"
      "struct Add_Request {\n"
      "  @verbatim (language=\"comment\", text=\"tail of request\")\n"
      "  int8 a;\n"
      "};\n"
      "struct Add_Response {\n"
      "  @key\n"
      "  @range (min=0, max=3)\n"
      "  @verbatim (language=\"comment\", text=\"sum\")\n"
      "  int8 sum;\n"
      "  int8 other;\n"
      "};\n";
  const auto request = read_struct_comments(idl, "Add_Request");
  EXPECT_TRUE(request.found);
  EXPECT_EQ(request.comment, "request");
  EXPECT_EQ(request.members.at("a"), "tail of request");
  EXPECT_FALSE(request.members.contains("z"));
  const auto response = read_struct_comments(idl, "Add_Response");
  EXPECT_EQ(response.comment, "");  // the previous struct's member comment is not this struct's
  EXPECT_EQ(response.members.at("sum"), "sum");
  EXPECT_FALSE(response.members.contains("other"));
  EXPECT_FALSE(read_struct_comments(idl, "Add").found);
}

TEST(IdlComments, UnterminatedAnnotationGivesNoText) {
  std::string text;
  std::size_t end = 0;
  EXPECT_FALSE(read_annotation_text("@verbatim (text=\"abc", 0, text, end));
  EXPECT_TRUE(read_annotation_text("@verbatim (text=\"a\\\"b\\q\" , \"c\")", 0, text, end));
  EXPECT_EQ(text, "a\"bqc");
}

}  // namespace
}  // namespace kvt::test
