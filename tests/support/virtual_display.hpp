// An X server without a screen (Xvfb) for tests that run the program's
// window. Started once per test program; DISPLAY points at it for every
// program the tests start.
#pragma once

#include <sys/types.h>

#include <string>

namespace kvt::test {

class virtual_display {
 public:
  virtual_display();
  ~virtual_display();
  virtual_display(const virtual_display&) = delete;
  virtual_display& operator=(const virtual_display&) = delete;

  const std::string& name() const noexcept { return name_; }  // ":N"

 private:
  pid_t pid_ = -1;
  std::string name_;
};

// Starts the display for the whole test program (a GoogleTest environment)
// and sets DISPLAY in this process's environment.
void use_virtual_display();

}  // namespace kvt::test
