// SPDX-License-Identifier: BSD-2-Clause
// The few calls whose form differs between systems, each behind a small function. The
// Linux build links platform_linux.cpp; every other POSIX system (and the portable build
// on Linux) links platform_posix.cpp.
#pragma once

#include <cstddef>
#include <sys/types.h>

// Bytes written to a TCP socket and not yet acknowledged by the peer; -1 where the system
// can't tell.
[[nodiscard]] int unacknowledged_bytes(int fd);

// Whether the socket is a TCP one (as opposed to a UNIX-domain socket).
[[nodiscard]] bool socket_is_tcp(int fd);

// The text of an error number, safe to call from a signal handler.
[[nodiscard]] const char* error_text_signal_safe(int error);

// Makes getopt_long start afresh, so that the scanner can run more than once in a process.
void restart_option_scanning();

// send() without SIGPIPE: a peer that has gone is a failed write, not a signal.
[[nodiscard]] ssize_t send_without_sigpipe(int fd, const void* data, std::size_t length,
                                           bool dont_wait);
