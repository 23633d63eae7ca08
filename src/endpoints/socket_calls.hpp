// SPDX-License-Identifier: BSD-2-Clause
// The calls that bring the run's sockets into being, made safe against the signal handlers:
// the interrupt handler closes whatever the descriptor fields name, so a socket must be
// named there from the moment it exists.
#pragma once

#include "state/run_state.hpp"

#include <sys/socket.h>

// A new stream socket of `domain`, named in *slot before any handler can run. Returns the
// descriptor, or -1 with errno set.
[[nodiscard]] int socket_into(descriptor_field* slot, int domain);

// listen() on a bound socket: a listener without --continue takes one peer and then closes
// its socket, so its queue holds one; with --continue the queue is the system's longest
// (SOMAXCONN), so that clients who come at once each wait their turn instead of being
// refused. Returns 0, or -1 with errno set.
[[nodiscard]] int listen_for_peers(int fd);

// Accepts a peer on `listening_fd` into *slot. A signal that doesn't end the run (the
// SIGCONT after a stop) doesn't end the wait; an interrupt that came while the peer was
// being accepted closes it again, as the handler would have a moment later. Returns the
// descriptor, or -1 with errno set.
[[nodiscard]] int accept_into(descriptor_field* slot, int listening_fd, sockaddr* address,
                              socklen_t* length);

// connect() that goes on after a signal which doesn't end the run: the connection proceeds
// by itself, so it is waited for and its outcome read; connect is never called again.
// Returns 0, or -1 with errno set (EINTR when Ctrl-C or Ctrl-\ came meanwhile).
[[nodiscard]] int connect_through_signals(int fd, const sockaddr* address, socklen_t length);
