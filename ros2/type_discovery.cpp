#include "ros2/type_discovery.hpp"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <sstream>
#include <system_error>

#include "ros2/idl_comments.hpp"
#include "ros2/type_description.hpp"
#include "ros2/messages.hpp"

namespace kvt::ros2 {

namespace {

namespace fs = std::filesystem;

enum class interface_kind { message, service, action };

struct interface_entry {
  interface_kind kind;
  std::string name;  // package/msg/Name
  fs::path description_path;
  fs::path idl_path;
};

// Packages of examples and tests whose interfaces never enter the catalogue.
constexpr std::array<std::string_view, 9> skipped_packages{
    "action_tutorials_interfaces", "example_interfaces",        "logging_demo",
    "pendulum_msgs",               "ros2cli_test_interfaces",   "nodegate_test_msgs",
    "rosbag2_performance_benchmarking_msgs", "rosbag2_test_msgdefs", "test_msgs",
};
constexpr std::string_view skipped_service = "action_msgs/srv/CancelGoal";
// Helper types generated for every action, not actions of their own.
constexpr std::array<std::string_view, 12> skipped_action_suffixes{
    "_Goal",           "_Result",           "_Feedback",          "_SendGoal",
    "_SendGoal_Request", "_SendGoal_Response", "_SendGoal_Event",   "_GetResult",
    "_GetResult_Request", "_GetResult_Response", "_GetResult_Event", "_FeedbackMessage",
};
constexpr std::string_view idl_extension = ".idl";
constexpr std::string_view json_extension = ".json";
constexpr std::size_t min_index_line = 9;

bool is_file(const fs::path& p) {
  std::error_code ec;
  return fs::is_regular_file(p, ec);
}

bool read_file(const fs::path& p, std::string& out) {
  std::ifstream in(p, std::ios::binary);
  if (!in) return false;
  out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

bool skipped_name(interface_kind kind, std::string_view name) {
  if (kind == interface_kind::service) return name == skipped_service;
  if (kind == interface_kind::action)
    return std::any_of(skipped_action_suffixes.begin(), skipped_action_suffixes.end(),
                       [&](std::string_view s) { return name.ends_with(s); });
  return false;
}

// One index line: "msg/Name.idl", "srv/Name.idl" or "action/Name.idl". The
// name part must be a plain file name, so a line cannot point outside the
// package's own folder.
bool parse_index_line(std::string_view line, interface_kind& kind) {
  std::string_view rest;
  if (line.starts_with("msg/")) {
    kind = interface_kind::message;
    rest = line.substr(4);
  } else if (line.starts_with("srv/")) {
    kind = interface_kind::service;
    rest = line.substr(4);
  } else if (line.starts_with("action/")) {
    kind = interface_kind::action;
    rest = line.substr(7);
  } else {
    return false;
  }
  if (line.size() < min_index_line || !line.ends_with(idl_extension)) return false;
  const std::string_view stem = rest.substr(0, rest.size() - idl_extension.size());
  return !stem.empty() && stem.find_first_of("/\\") == std::string_view::npos && stem != "." && stem != "..";
}

void scan_package(const fs::path& prefix, const std::string& package, const fs::path& index_file,
                  std::vector<interface_entry>& entries) {
  std::string text;
  if (!read_file(index_file, text)) return;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string_view line(text.data() + start, end - start);
    if (line.ends_with('\r')) line.remove_suffix(1);
    start = end + 1;

    interface_kind kind{};
    if (!parse_index_line(line, kind)) continue;
    const std::string_view stem = line.substr(0, line.size() - idl_extension.size());
    const fs::path folder = prefix / "share" / package;
    interface_entry entry{kind, package + "/" + std::string(stem), folder / (std::string(stem) + std::string(json_extension)),
                          folder / std::string(line)};
    if (!is_file(entry.description_path)) continue;
    if (skipped_name(kind, entry.name)) continue;
    entries.push_back(std::move(entry));
  }
}

std::vector<interface_entry> scan_index(const std::vector<fs::path>& prefixes) {
  std::vector<interface_entry> entries;
  for (const fs::path& prefix : prefixes) {
    const fs::path index = prefix / "share" / "ament_index" / "resource_index" / "rosidl_interfaces";
    std::error_code ec;
    if (!fs::is_directory(index, ec)) continue;
    for (fs::directory_iterator it(index, ec), end; !ec && it != end; it.increment(ec)) {
      if (!it->is_regular_file(ec)) continue;
      const std::string package = it->path().filename().string();
      if (std::find(skipped_packages.begin(), skipped_packages.end(), package) != skipped_packages.end()) continue;
      scan_package(prefix, package, it->path(), entries);
    }
  }
  return entries;
}

std::string_view last_component(std::string_view name) {
  const std::size_t slash = name.rfind('/');
  return slash == std::string_view::npos ? name : name.substr(slash + 1);
}

// Applies the comments of struct `struct_name` to `fields`; returns the
// struct's own comment.
std::string apply_comments(const std::string& idl, std::string_view struct_name, field_list& fields) {
  const struct_comments comments = read_struct_comments(idl, struct_name);
  for (ros2_field& f : fields) {
    const auto it = comments.members.find(f.name);
    if (it != comments.members.end()) f.comment = it->second;
  }
  return comments.comment;
}

// The converted fields of the referenced type that the main type's field
// `field_name` names.
std::optional<field_list> part_fields(const type_description& d, std::string_view field_name) {
  const auto field = std::find_if(d.main.fields.begin(), d.main.fields.end(),
                                  [&](const description_field& f) { return f.name == field_name; });
  if (field == d.main.fields.end()) return std::nullopt;
  const auto type = std::find_if(d.referenced.begin(), d.referenced.end(),
                                 [&](const described_type& t) { return t.type_name == field->nested_type_name; });
  if (type == d.referenced.end()) return std::nullopt;
  return convert_fields(*type);
}

class catalogue_builder {
 public:
  explicit catalogue_builder(type_catalogue& out) : out_(out) {}

  void add(const interface_entry& entry, const std::map<std::string, fs::path, std::less<>>& idl_map) {
    const auto description = read_type_description(entry.description_path);
    if (!description) return;
    std::string idl;
    const auto idl_path = idl_map.find(entry.name);
    const bool has_idl = idl_path != idl_map.end() && read_file(idl_path->second, idl);
    const std::string base(last_component(entry.name));

    switch (entry.kind) {
      case interface_kind::message: {
        ros2_message m;
        m.name = description->main.type_name;
        if (m.name.empty()) return;
        auto fields = convert_fields(description->main);
        if (!fields || !claim(m.name)) return;
        m.fields = std::move(*fields);
        if (has_idl) m.comment = apply_comments(idl, base, m.fields);
        out_.messages.push_back(std::move(m));
        break;
      }
      case interface_kind::service: {
        auto request = part_fields(*description, "request_message");
        auto response = part_fields(*description, "response_message");
        if (!request || !response || !claim(entry.name)) return;
        ros2_service s{entry.name, std::move(*request), std::move(*response)};
        if (has_idl) {
          apply_comments(idl, base + "_Request", s.request_fields);
          apply_comments(idl, base + "_Response", s.response_fields);
        }
        out_.services.push_back(std::move(s));
        break;
      }
      case interface_kind::action: {
        auto goal = part_fields(*description, "goal");
        auto result = part_fields(*description, "result");
        auto feedback = part_fields(*description, "feedback");
        if (!goal || !result || !feedback || !claim(entry.name)) return;
        ros2_action a{entry.name, std::move(*goal), std::move(*result), std::move(*feedback)};
        if (has_idl) {
          apply_comments(idl, base + "_Goal", a.goal_fields);
          apply_comments(idl, base + "_Result", a.result_fields);
          apply_comments(idl, base + "_Feedback", a.feedback_fields);
        }
        out_.actions.push_back(std::move(a));
        break;
      }
    }
  }

 private:
  // The first type of a name wins, whatever its kind.
  bool claim(const std::string& name) { return names_.insert(name).second; }

  type_catalogue& out_;
  std::set<std::string, std::less<>> names_;
};

template <class T>
void sort_by_name(std::vector<T>& list) {
  std::stable_sort(list.begin(), list.end(), [](const T& a, const T& b) { return a.name < b.name; });
}

}  // namespace

bool discover_types_in(std::string_view prefix_list, type_catalogue& out, std::string& message) {
  out = {};
  message.clear();
  std::vector<fs::path> prefixes;
  std::size_t start = 0;
  while (start <= prefix_list.size()) {
    std::size_t end = prefix_list.find(ament_prefix_separator, start);
    if (end == std::string_view::npos) end = prefix_list.size();
    if (end > start) prefixes.emplace_back(std::string(prefix_list.substr(start, end - start)));
    start = end + 1;
  }
  if (prefixes.empty()) {
    message = message::ament_prefix_path_not_set;
    return false;
  }

  const std::vector<interface_entry> entries = scan_index(prefixes);
  std::map<std::string, fs::path, std::less<>> idl_map;
  for (const interface_entry& e : entries)
    if (is_file(e.idl_path)) idl_map.emplace(e.name, e.idl_path);

  catalogue_builder builder(out);
  for (const interface_entry& e : entries) builder.add(e, idl_map);

  if (out.messages.empty() && out.services.empty() && out.actions.empty()) {
    message = message::no_ros2_types;
    return false;
  }
  sort_by_name(out.messages);
  sort_by_name(out.services);
  sort_by_name(out.actions);
  return true;
}

bool discover_types(type_catalogue& out, std::string& message) {
  const char* value = std::getenv(ament_prefix_variable);
  return discover_types_in(value != nullptr ? value : "", out, message);
}

}  // namespace kvt::ros2
