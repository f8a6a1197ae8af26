// Fuzz target: whole text messages through the command dispatcher, as the
// page connection sends them. Before every message the driver registry holds
// two in-memory controllers and, unconnected, an OPC UA and an MQTT driver,
// so that the binding and connection commands find drivers to work on (the
// latter two take names with their tags).
//
// Checked for every message:
// - every text sent is one valid JSON object in valid UTF-8, sent as a reply
//   when it carries "id" and as an event otherwise;
// - no binary message is sent;
// - a valid JSON request ({"id": unsigned, "type": string, "data": object},
//   each key once) gets exactly one reply carrying "id", with the request's
//   id; an unknown type gets the "Message type invalid" error;
// - valid JSON that is not such a request, and text that is not JSON at all
//   (a syntax error, not merely a number or a nesting depth beyond what
//   simdjson's DOM takes), get no reply;
// - no message gets more than one reply carrying "id".
//
// Connection commands may try to reach the hosts they name, so this target
// refuses to run where any network interface is up: run it inside an empty
// network namespace (scripts/fuzz.sh uses `unshare -n`).
#include <ifaddrs.h>
#include <net/if.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <simdjson.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <string>
#include <string_view>

#include "app/launch_options.hpp"
#include "plc/connection_params.hpp"
#include "plc/driver_factory.hpp"
#include "plc/driver_registry.hpp"
#include "plc/memory/controller.hpp"
#include "plc/memory/driver.hpp"
#include "server/dispatcher.hpp"
#include "server/handlers/discovery_jobs.hpp"
#include "server/messages.hpp"
#include "server/replies.hpp"
#include "support/check.hpp"
#include "support/json_check.hpp"
#include "support/recording_connection.hpp"

namespace {

// Set while a message is dispatched on the fuzzing thread. The connection
// commands pause between failed attempts; those waits add nothing to what
// is explored, so they return at once on this thread. Every other thread
// (scan threads, libFuzzer's own) sleeps as usual.
thread_local bool skip_sleeps = false;

}  // namespace

extern "C" int nanosleep(const struct timespec* request, struct timespec* remaining) {
  if (skip_sleeps) return 0;
  return static_cast<int>(syscall(SYS_nanosleep, request, remaining));
}

namespace {

using namespace kvt;

// The registered drivers (their hosts are also in the dictionary and the
// seeds); protocol 0 is the in-memory controller.
struct registered_driver {
  std::string_view host;
  std::int32_t protocol;
  std::int32_t port;
};
constexpr std::array<registered_driver, 4> registered{{
    {"mem-a", 0, 0},
    {"mem-b", 0, 0},
    {"ua", plc::protocol::opcua, 4840},
    {"mq", plc::protocol::mqtt, 1883},
}};

bool network_is_down() {
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return false;
  bool any_up = false;
  for (const ifaddrs* a = list; a != nullptr; a = a->ifa_next)
    if ((a->ifa_flags & IFF_UP) != 0) any_up = true;
  freeifaddrs(list);
  return !any_up;
}

std::unique_ptr<plc::driver_base> make_registered(const registered_driver& d) {
  static const auto controller = std::make_shared<plc::memory::controller>(64);
  if (d.protocol == 0) return std::make_unique<plc::memory::driver>(std::string(d.host), controller);
  auto driver = plc::make_driver(d.protocol);
  plc::connection_params params;
  params.protocol = d.protocol;
  params.host = d.host;
  params.port = d.port;
  params.scan_rate = 0.1;
  driver->configure(params);
  return driver;
}

// A fresh registry for every message: the drivers above, unbound.
void reset_registry() {
  auto& registry = plc::registry();
  for (;;) {
    plc::driver_base* first = nullptr;
    {
      auto lock = registry.lock();
      if (registry.drivers().empty()) break;
      first = registry.drivers().front().get();
    }
    registry.remove(first);
  }
  for (const registered_driver& d : registered) registry.insert(make_registered(d));
}

enum class request_shape { valid_request, json_not_request, not_json, undecided };

// The message as the validating DOM parser reads it, independently of the
// dispatcher's on-demand reading. The views stay valid until the next call.
struct request_view {
  request_shape shape = request_shape::undecided;
  std::int32_t id = 0;
  std::string_view type;
  simdjson::dom::object data;
};

request_view classify(std::string_view message) {
  static simdjson::dom::parser parser;
  request_view r;
  simdjson::dom::element root;
  switch (parser.parse(message.data(), message.size()).get(root)) {
    case simdjson::SUCCESS: break;
    // Valid JSON may still be refused for its numbers or its depth.
    case simdjson::NUMBER_ERROR:
    case simdjson::NUMBER_OUT_OF_RANGE:
    case simdjson::DEPTH_ERROR:
    case simdjson::CAPACITY:
    case simdjson::MEMALLOC: return r;
    default: r.shape = request_shape::not_json; return r;
  }
  simdjson::dom::object request;
  r.shape = request_shape::json_not_request;
  if (root.get(request)) return r;
  // Which of two equal keys counts is not defined (the on-demand reader
  // takes the next one after the key it read before).
  int id_keys = 0, type_keys = 0, data_keys = 0;
  for (const auto field : request) {
    id_keys += field.key == "id";
    type_keys += field.key == "type";
    data_keys += field.key == "data";
  }
  if (id_keys > 1 || type_keys > 1 || data_keys > 1) {
    r.shape = request_shape::undecided;
    return r;
  }
  std::uint64_t id = 0;
  if (request["id"].get(id) || request["type"].get(r.type) || request["data"].get(r.data)) return r;
  r.shape = request_shape::valid_request;
  r.id = static_cast<std::int32_t>(static_cast<std::uint32_t>(id));
  return r;
}

// An MQTT connection attempt spends about 0.4 s inside the client library,
// five of them per refused ServerConnect; such requests are not dispatched
// so that fuzzing keeps its pace. The other protocols fail at once here.
bool connects_mqtt(const request_view& r) {
  if (r.shape != request_shape::valid_request || r.type != server::command::server_connect) return false;
  std::string_view host;
  if (r.data["host"].get(host)) return false;
  for (const registered_driver& d : registered)
    if (d.host == host) return d.protocol == plc::protocol::mqtt;
  std::uint64_t protocol = 0;
  return !r.data["protocol"].get(protocol) && protocol == static_cast<std::uint64_t>(plc::protocol::mqtt);
}

// Ends the searches that DiscoverDevicesStart replies report as started, so
// that the next message starts from no searches.
void stop_started_searches(const simdjson::dom::element& reply) {
  std::int64_t id = 0;
  std::int64_t data = 0;
  if (!reply["id"].get(id) && !reply["data"].get(data) && id == data)
    server::stop_discovery(static_cast<std::int32_t>(id));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  if (!network_is_down()) {
    std::fprintf(stderr,
                 "dispatcher fuzz target: a network interface is up; run it in an empty network namespace "
                 "(unshare -n), as scripts/fuzz.sh does\n");
    std::exit(1);
  }
  // The ROS 2 commands go as far as looking for the bridge library.
  std::array<char*, 2> args{const_cast<char*>("kestrel-connect"), const_cast<char*>("--ros2")};
  parse_launch_options(static_cast<int>(args.size()), args.data());
  unsetenv("AMENT_PREFIX_PATH");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  static server::dispatcher dispatcher;
  static const auto page = std::make_shared<fuzz::recording_connection>();
  const std::string_view message(reinterpret_cast<const char*>(bytes), size);
  const request_view request = classify(message);
  if (connects_mqtt(request)) return -1;  // not added to the corpus

  reset_registry();
  page->forget();
  skip_sleeps = true;
  dispatcher.handle_text(message, page);
  skip_sleeps = false;

  std::size_t replies = 0;
  std::string reply_id;
  for (std::size_t i = 0; i < page->texts.size(); ++i) {
    const std::string& text = page->texts[i];
    simdjson::dom::element reply;
    std::string why;
    KVT_FUZZ_CHECK(fuzz::parse_json(text, reply, why), "a text sent is not valid JSON (%s): %s", why.c_str(),
                   fuzz::printable(text).c_str());
    KVT_FUZZ_CHECK(reply.is_object(), "a text sent is not a JSON object: %s", fuzz::printable(text).c_str());
    std::int64_t id = 0;
    const bool is_reply = !reply["id"].get(id);
    KVT_FUZZ_CHECK(page->text_kinds[i] == (is_reply ? server::connection::kind::reply : server::connection::kind::event),
                   "%s was sent as %s: %s", is_reply ? "a reply" : "an event", is_reply ? "an event" : "a reply",
                   fuzz::printable(text).c_str());
    if (is_reply) {
      ++replies;
      reply_id = std::to_string(id);
      stop_started_searches(reply);
    }
  }
  KVT_FUZZ_CHECK(page->binaries.empty(), "a text message was answered with a binary message");
  KVT_FUZZ_CHECK(replies <= 1, "one message got %zu replies", replies);

  switch (request.shape) {
    case request_shape::valid_request:
      KVT_FUZZ_CHECK(replies == 1, "a valid request got %zu replies", replies);
      KVT_FUZZ_CHECK(reply_id == std::to_string(request.id), "the reply's id is %s, the request's %d",
                     reply_id.c_str(), request.id);
      if (!server::find_handler(request.type))
        KVT_FUZZ_CHECK(
            page->texts.size() == 1 &&
                page->texts[0] == server::reply_error(request.id, server::error::message_type_invalid),
            "an unknown type was answered with %s", fuzz::printable(page->texts[0]).c_str());
      break;
    case request_shape::json_not_request:
    case request_shape::not_json:
      KVT_FUZZ_CHECK(page->texts.empty(), "a message that is no valid request was answered with %s",
                     fuzz::printable(page->texts[0]).c_str());
      break;
    case request_shape::undecided: break;
  }
  return 0;
}
