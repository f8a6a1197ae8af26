#include "standin_control.hpp"

#include <stdexcept>

#include "platform/dynamic_library.hpp"
#include "platform/executable_path.hpp"
#include "ros2/bridge.hpp"

namespace kvt::test {

namespace {
template <class Fn>
Fn symbol(void* library, const char* name) {
  void* p = platform::library_symbol(library, name);
  if (p == nullptr) throw std::runtime_error(std::string("stand-in lacks ") + name);
  return reinterpret_cast<Fn>(p);
}
}  // namespace

standin::standin() {
  std::string error;
  library_ = platform::open_library(platform::executable_directory() / ros2::bridge_file_name, error);
  if (library_ == nullptr) throw std::runtime_error("cannot open the stand-in bridge: " + error);
}

std::vector<std::string> standin::calls() const {
  const auto count_fn = symbol<std::size_t (*)()>(library_, "standin_call_count");
  const auto call_fn = symbol<std::size_t (*)(std::size_t, char*, std::size_t)>(library_, "standin_call");
  std::vector<std::string> out;
  const std::size_t n = count_fn();
  for (std::size_t i = 0; i < n; ++i) {
    std::string text(4096, '\0');
    text.resize(call_fn(i, text.data(), text.size()));
    out.push_back(std::move(text));
  }
  return out;
}

std::vector<unsigned char> standin::record_bytes(std::size_t call) const {
  const auto fn = symbol<std::size_t (*)(std::size_t, unsigned char*, std::size_t)>(library_, "standin_record");
  std::vector<unsigned char> out(256);
  out.resize(fn(call, out.data(), out.size()));
  return out;
}

void standin::fail(const char* export_name, const char* message) const {
  symbol<void (*)(const char*, const char*)>(library_, "standin_fail")(export_name, message);
}

void standin::answer(std::uint32_t request_word) const {
  symbol<void (*)(std::uint32_t)>(library_, "standin_answer")(request_word);
}

std::size_t standin::count(std::string_view prefix) const {
  std::size_t n = 0;
  for (const auto& c : calls())
    if (c.starts_with(prefix)) ++n;
  return n;
}

}  // namespace kvt::test
