// The texts of "--help" and "--version": the one place that describes the
// launch options to a person.
#pragma once

#include <string>

namespace kvt {

// Usage, one line per switch, and the environment variable the program reads.
std::string help_text();

// "kestrel-connect (Kestrel Connect) <version>", the version set in CMake.
std::string version_text();

}  // namespace kvt
