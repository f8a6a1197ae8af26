// The test side of the stand-in bridge library beside the test executable.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kvt::test {

class standin {
 public:
  standin();  // opens the library beside the executable (the same one the bridge loads)
  std::vector<std::string> calls() const;
  std::vector<unsigned char> record_bytes(std::size_t call) const;
  void fail(const char* export_name, const char* message) const;
  void answer(std::uint32_t request_word) const;
  // How often a call whose text starts with `prefix` was made.
  std::size_t count(std::string_view prefix) const;

 private:
  void* library_ = nullptr;
};

}  // namespace kvt::test
