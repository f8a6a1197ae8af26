// What went wrong when the web app could not be loaded, in plain words: the
// kinds of failure the network layer reports, from its GError or from the
// certificate problems of a TLS connection.
#pragma once

#include <gio/gio.h>

#include <string>
#include <string_view>

namespace kvt::browser {

enum class load_failure {
  host_not_found,       // the host name could not be looked up
  connection_refused,   // the host answered, nothing listens on the port
  timed_out,            // no answer in time
  network_unreachable,  // no route to the host or its network
  connection_lost,      // the connection closed before the page arrived
  certificate_not_trusted,
  other,
};

struct load_failure_words {
  std::string_view headline;
  std::string_view detail;
};

// The kind of a failed load's error.
load_failure classify_load_error(const GError& error);

// A load that was stopped rather than failed: cancelled (a newer load took
// its place) or refused by the navigation policy. Shows nothing.
bool is_stopped_load(const GError& error);

// The headline and a sentence or two for each kind.
load_failure_words describe(load_failure failure);

// The certificate problems of a TLS failure, e.g. "it is not issued by an
// authority this computer trusts; it is not made out for this host".
std::string tls_problems(GTlsCertificateFlags flags);

}  // namespace kvt::browser
