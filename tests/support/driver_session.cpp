#include "support/driver_session.hpp"

#include <charconv>
#include <stdexcept>

#include "plc/driver_registry.hpp"
#include "plc/signal_exchange.hpp"
#include "renderer/page_contract.hpp"

namespace kvt::test {

namespace {

// A JSON string literal for `text`, quotes and control characters escaped.
std::string json_string(std::string_view text) {
  std::string out = "\"";
  for (const char c : text) {
    if (static_cast<unsigned char>(c) < 0x20) {
      static constexpr char hex[] = "0123456789abcdef";
      out += "\\u00";
      out += hex[(c >> 4) & 0xF];
      out += hex[c & 0xF];
      continue;
    }
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + '"';
}

std::string number(double value) {
  char text[32];
  const auto end = std::to_chars(text, text + sizeof text, value).ptr;
  return std::string(text, end);
}

std::string member(std::string_view key, const std::string& json) { return json_string(key) + ':' + json; }

std::string table_json(const signal_table& table) {
  std::string tags;
  for (const std::uint64_t t : table.tags) tags += (tags.empty() ? "" : ",") + std::to_string(t);
  std::string out = "{\"version\":" + std::to_string(table.version) + ",\"tags\":[" + tags + ']';
  if (table.names) {
    std::string names;
    for (const std::string& n : *table.names) names += (names.empty() ? "" : ",") + json_string(n);
    out += ",\"names\":[" + names + ']';
  }
  return out + '}';
}

// "ServerConnect" data as the page writes it: every required key, and the
// optional ones ("path", "username", "password", "dataArea", the FINS
// route) only where they differ from the server's defaults.
std::string connect_json(const plc::connection_params& p) {
  std::string out = '{' + member("protocol", std::to_string(p.protocol)) + ',' + member("type", json_string(p.type)) +
                    ',' + member("host", json_string(p.host));
  if (!p.path.empty()) out += ',' + member("path", json_string(p.path));
  if (!p.username.empty()) out += ',' + member("username", json_string(p.username));
  if (!p.password.empty()) out += ',' + member("password", json_string(p.password));
  out += ',' + member("port", std::to_string(p.port)) + ',' + member("unitId", std::to_string(p.unit_id)) + ',' +
         member("flags", std::to_string(p.flags)) + ',' + member("rack", std::to_string(p.rack)) + ',' +
         member("slot", std::to_string(p.slot));
  if (p.data_area) out += ',' + member("dataArea", "true");
  if (p.local_network != 0 || p.local_node != 0 || p.remote_network != 0 || p.remote_node != 0)
    out += ',' + member("localNetwork", std::to_string(p.local_network)) + ',' +
           member("localNode", std::to_string(p.local_node)) + ',' +
           member("remoteNetwork", std::to_string(p.remote_network)) + ',' +
           member("remoteNode", std::to_string(p.remote_node));
  return out + ',' + member("scanRate", number(p.scan_rate)) + '}';
}

}  // namespace

plc::connection_params connection(std::int32_t protocol, std::uint16_t port, double scan_rate) {
  plc::connection_params p;
  p.protocol = protocol;
  p.host = loopback_host;
  p.port = port;
  p.scan_rate = scan_rate;
  return p;
}

signal_table signal_table::of(const std::vector<named_signal>& signals, std::uint32_t version) {
  signal_table table{.names = std::vector<std::string>{}, .version = version};
  for (const named_signal& s : signals) {
    table.tags.push_back(s.tag);
    table.names->push_back(s.name);
  }
  return table;
}

std::string binding_json(const binding_tables& t) {
  return '{' + member("host", json_string(t.host)) + ',' + member("id", std::to_string(t.id)) + ',' +
         member("inputs", table_json(t.inputs)) + ',' + member("outputs", table_json(t.outputs)) + '}';
}

driver_session::driver_session(std::chrono::milliseconds reply_timeout)
    : reply_timeout_(reply_timeout),
      page_ws_(server_.port()),
      words_(page::signal::buffer_words, 0),
      player_(words_.data(), words_.size()) {
  page_ws_.register_as_page();
  exchange_ = std::thread([this] {
    plc::run_signal_exchange(words_.data(), words_.size() * sizeof(std::uint32_t), plc::registry(), shutdown_);
  });
}

driver_session::~driver_session() {
  shutdown_.store(true);
  exchange_.join();
  clear_registry();
}

void driver_session::send(std::string_view type, std::string_view data) {
  page_ws_.send_text("{\"id\":" + std::to_string(++last_id_) + ",\"type\":" + json_string(type) +
                     ",\"data\":" + std::string(data) + '}');
}

std::string driver_session::reply() { return page_ws_.next_text(reply_timeout_).value_or("(no reply)"); }

std::string driver_session::ask(std::string_view type, std::string_view data) {
  send(type, data);
  return reply();
}

std::string driver_session::true_reply() const { return "{\"id\":" + std::to_string(last_id_) + ",\"data\":true}"; }

::testing::AssertionResult driver_session::granted(std::string_view type, std::string_view data) {
  const std::string answer = ask(type, data);
  if (answer == true_reply()) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << type << " answered " << answer;
}

::testing::AssertionResult driver_session::connect(const plc::connection_params& params) {
  return granted("ServerConnect", connect_json(params));
}

::testing::AssertionResult driver_session::bind(const binding_tables& tables) {
  view_.clear();
  return granted("BindingTables", binding_json(tables));
}

::testing::AssertionResult driver_session::bind(const std::vector<std::uint64_t>& inputs,
                                                const std::vector<std::uint64_t>& outputs) {
  return bind({.inputs = {.tags = inputs}, .outputs = {.tags = outputs}});
}

::testing::AssertionResult driver_session::status(std::string_view host) {
  return granted("ServerStatus", '{' + member("host", json_string(host)) + '}');
}

plc::driver_base& driver_session::registered(std::string_view host) {
  auto lock = plc::registry().lock();
  for (const auto& d : plc::registry().drivers())
    if (d->host() == host) return *d;
  throw std::runtime_error("no driver registered for " + std::string(host));
}

const std::vector<std::int32_t>& driver_session::outputs_seen(std::int32_t id) {
  if (auto records = player_.request_outputs())
    for (const auto& r : *records) {
      if (r.id != id) continue;
      for (const auto& [index, value] : r.pairs) {
        if (index >= view_.size()) view_.resize(index + 1);
        view_[index] = value;
      }
    }
  return view_;
}

bool driver_session::eventually_seen(const std::vector<std::int32_t>& expected, std::chrono::milliseconds timeout,
                                     std::int32_t id) {
  return eventually([&] { return outputs_seen(id) == expected; }, timeout);
}

bool driver_session::deliver(const pair_list& pairs, std::int32_t id, std::uint32_t version) {
  return player_.deliver_inputs({{.id = id, .version = version, .pairs = pairs}});
}

}  // namespace kvt::test
