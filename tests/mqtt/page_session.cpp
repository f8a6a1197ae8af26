#include "mqtt/page_session.hpp"

#include "plc/driver_registry.hpp"
#include "plc/signal_exchange.hpp"
#include "renderer/page_contract.hpp"

namespace kvt::test {

namespace {

std::string quoted(std::string_view s) {
  std::string out = "\"";
  for (const char c : s) {
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

std::string table_json(std::uint32_t version, const std::vector<page_signal>& signals) {
  std::string tags;
  std::string names;
  for (const auto& s : signals) {
    if (!tags.empty()) {
      tags += ',';
      names += ',';
    }
    tags += std::to_string(s.tag);
    names += quoted(s.topic);
  }
  return "{\"version\":" + std::to_string(version) + ",\"tags\":[" + tags + "],\"names\":[" + names + "]}";
}

}  // namespace

page_session::page_session()
    : page_(server_.port()), words_(page::signal::buffer_words, 0), player_(words_.data(), words_.size()) {
  page_.register_as_page();
  exchange_ = std::thread([this] {
    plc::run_signal_exchange(words_.data(), words_.size() * sizeof(std::uint32_t), plc::registry(), shutdown_);
  });
}

page_session::~page_session() {
  shutdown_.store(true);
  exchange_.join();
}

std::optional<std::string> page_session::ask(std::string_view type, const std::string& data) {
  page_.send_text("{\"id\":" + std::to_string(++last_id_) + ",\"type\":\"" + std::string(type) + "\",\"data\":" +
                  data + '}');
  // Connecting may take a while when the broker refuses and is asked again.
  return page_.next_text(std::chrono::seconds(60));
}

bool page_session::connect(const std::string& host, std::uint16_t port) {
  const std::string data = "{\"protocol\":8,\"type\":\"\",\"host\":" + quoted(host) +
                           ",\"port\":" + std::to_string(port) +
                           ",\"unitId\":0,\"flags\":0,\"rack\":0,\"slot\":0,\"scanRate\":0}";
  const auto reply = ask("ServerConnect", data);
  return reply == "{\"id\":" + std::to_string(last_id_) + ",\"data\":true}";
}

bool page_session::status(const std::string& host) {
  const auto reply = ask("ServerStatus", "{\"host\":" + quoted(host) + '}');
  return reply == "{\"id\":" + std::to_string(last_id_) + ",\"data\":true}";
}

bool page_session::bind(const std::string& host, std::int32_t id, std::uint32_t version,
                        const std::vector<page_signal>& inputs, const std::vector<page_signal>& outputs) {
  const std::string data = "{\"host\":" + quoted(host) + ",\"id\":" + std::to_string(id) +
                           ",\"inputs\":" + table_json(version, inputs) +
                           ",\"outputs\":" + table_json(version, outputs) + '}';
  const auto reply = ask("BindingTables", data);
  view_.clear();
  return reply == "{\"id\":" + std::to_string(last_id_) + ",\"data\":true}";
}

const std::vector<std::int32_t>& page_session::outputs_seen(std::int32_t id) {
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

}  // namespace kvt::test
