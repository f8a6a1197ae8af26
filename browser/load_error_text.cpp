#include "browser/load_error_text.hpp"

#include <webkit/webkit.h>

#include <string>

namespace kvt::browser {

load_failure classify_load_error(const GError& error) {
  const int code = error.code;
  if (error.domain == G_RESOLVER_ERROR) return load_failure::host_not_found;  // not found, temporary, internal
  if (error.domain == G_IO_ERROR) {
    switch (code) {
      case G_IO_ERROR_HOST_NOT_FOUND: return load_failure::host_not_found;
      case G_IO_ERROR_CONNECTION_REFUSED: return load_failure::connection_refused;
      case G_IO_ERROR_TIMED_OUT: return load_failure::timed_out;
      case G_IO_ERROR_HOST_UNREACHABLE:
      case G_IO_ERROR_NETWORK_UNREACHABLE: return load_failure::network_unreachable;
      case G_IO_ERROR_CONNECTION_CLOSED:  // also "broken pipe"
      case G_IO_ERROR_NOT_CONNECTED: return load_failure::connection_lost;
      default: return load_failure::other;
    }
  }
  if (error.domain == G_TLS_ERROR && code == G_TLS_ERROR_BAD_CERTIFICATE) return load_failure::certificate_not_trusted;
  return load_failure::other;
}

bool is_stopped_load(const GError& error) {
  return (error.domain == WEBKIT_NETWORK_ERROR && error.code == WEBKIT_NETWORK_ERROR_CANCELLED) ||
         (error.domain == WEBKIT_POLICY_ERROR && error.code == WEBKIT_POLICY_ERROR_FRAME_LOAD_INTERRUPTED_BY_POLICY_CHANGE);
}

load_failure_words describe(load_failure failure) {
  switch (failure) {
    case load_failure::host_not_found:
      return {"The server's name could not be found",
              "The web application's host name could not be looked up. This computer may be offline, or its "
              "name server may not be reachable."};
    case load_failure::connection_refused:
      return {"The server refused the connection",
              "The host was reached, but nothing accepted the connection on its port. The server may be down "
              "or restarting."};
    case load_failure::timed_out:
      return {"The server did not answer in time",
              "The connection timed out. The network may be slow or interrupted, or the server too busy to answer."};
    case load_failure::network_unreachable:
      return {"The server's network cannot be reached",
              "This computer has no route to the server. Check the network connection."};
    case load_failure::connection_lost:
      return {"The connection was closed",
              "The server closed the connection before the page had arrived."};
    case load_failure::certificate_not_trusted:
      return {"The server's certificate is not trusted",
              "The secure connection was stopped because the server's certificate could not be verified, so "
              "the page was not loaded."};
    case load_failure::other: break;
  }
  return {"The web application could not be loaded", "The page could not be loaded from its server."};
}

std::string tls_problems(GTlsCertificateFlags flags) {
  struct problem {
    GTlsCertificateFlags flag;
    const char* words;
  };
  static constexpr problem problems[] = {
      {G_TLS_CERTIFICATE_UNKNOWN_CA, "it is not issued by an authority this computer trusts"},
      {G_TLS_CERTIFICATE_BAD_IDENTITY, "it is not made out for this host"},
      {G_TLS_CERTIFICATE_NOT_ACTIVATED, "it is not valid yet"},
      {G_TLS_CERTIFICATE_EXPIRED, "it has expired"},
      {G_TLS_CERTIFICATE_REVOKED, "it has been revoked"},
      {G_TLS_CERTIFICATE_INSECURE, "it uses an insecure algorithm"},
  };
  std::string text;
  for (const problem& p : problems) {
    if ((flags & p.flag) == 0) continue;
    if (!text.empty()) text += "; ";
    text += p.words;
  }
  return text.empty() ? "it could not be verified" : text;
}

}  // namespace kvt::browser
