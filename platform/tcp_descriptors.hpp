// TCP descriptors for the command server: sockets that are close-on-exec
// from their first instant (the browser engine starts its helper processes
// with every inheritable descriptor open), and the user at the other end of
// a loopback connection.
#pragma once

#include <cstdint>
#include <optional>

namespace kvt::platform {

// A TCP socket, IPv4 or IPv6, close-on-exec. -1 with `error` set on failure.
int open_tcp_socket(bool ipv6, int& error) noexcept;

// Takes one waiting connection from a listening socket, non-blocking and
// close-on-exec. -1 with `error` set when none is taken (EAGAIN: nobody
// waits).
int accept_connection(int listening, int& error) noexcept;

// Closes a descriptor nobody else owns yet.
void close_descriptor(int fd) noexcept;

// The user id of the process that owns the other end of a TCP connection
// made on this machine: the socket diagnostics interface first, the kernel's
// connection tables in /proc as the fall-back. nullopt when neither knows
// the connection (it did not come from this machine, or it is gone), with
// `error` 0; or when neither could look (no descriptor left, say), with
// `error` set.
std::optional<std::uint32_t> local_peer_user(int connected, int& error) noexcept;
std::optional<std::uint32_t> local_peer_user_from_proc_tables(int connected, int& error) noexcept;

// The effective user id of this process.
std::uint32_t current_user() noexcept;

}  // namespace kvt::platform
