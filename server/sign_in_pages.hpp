// The two small HTML pages the sign-in routes answer with.
#pragma once

#include <string>

namespace kvt::server {

// "Authentication Success" / "Welcome Back!"
const std::string& authentication_page();
// "Signed Out"
const std::string& signed_out_page();

}  // namespace kvt::server
