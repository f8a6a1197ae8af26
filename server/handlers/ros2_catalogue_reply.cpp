#include "server/handlers/ros2_catalogue_reply.hpp"

#include "server/json_writer.hpp"
#include "server/messages.hpp"

namespace kvt::server {

using namespace ros2;  // the bridge's records and calls

namespace {


void write_fields(json_writer& w, std::string_view name, const field_list& fields) {
  w.key(name).begin_array();
  for (const ros2_field& f : fields) {
    w.begin_object()
        .key(key::name).string(f.name)
        .key(key::comment).string(f.comment)
        .key(key::type).number(static_cast<std::int32_t>(f.type))
        .key(key::array).boolean(f.array)
        .key(key::dynamic).boolean(f.dynamic)
        .key(key::count).number(f.count)
        .key(key::max_length).number(f.max_length)
        .key(key::message_type).string(f.message_type)
        .key(key::fields).null()  // nested fields are not expanded
        .end_object();
  }
  w.end_array();
}

}  // namespace

std::string catalogue_reply(std::int32_t id, const type_catalogue& catalogue) {
  json_writer w;
  w.begin_object().key(key::id).number(id).key(key::data).begin_object();
  w.key(key::messages).begin_array();
  for (const ros2_message& m : catalogue.messages) {
    w.begin_object().key(key::name).string(m.name).key(key::comment).string(m.comment);
    write_fields(w, key::fields, m.fields);
    w.end_object();
  }
  w.end_array().key(key::services).begin_array();
  for (const ros2_service& s : catalogue.services) {
    w.begin_object().key(key::name).string(s.name);
    write_fields(w, key::request_fields, s.request_fields);
    write_fields(w, key::response_fields, s.response_fields);
    w.end_object();
  }
  w.end_array().key(key::actions).begin_array();
  for (const ros2_action& a : catalogue.actions) {
    w.begin_object().key(key::name).string(a.name);
    write_fields(w, key::goal_fields, a.goal_fields);
    write_fields(w, key::result_fields, a.result_fields);
    write_fields(w, key::feedback_fields, a.feedback_fields);
    w.end_object();
  }
  w.end_array().end_object().end_object();
  return w.take();
}

}  // namespace kvt::server
