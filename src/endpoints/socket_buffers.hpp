// SPDX-License-Identifier: BSD-2-Clause
#pragma once

#include "state/run_state.hpp"

// Applies --socket-buffer to both buffers of a connected or accepted socket and, under
// --verbose, reports the sizes the system then uses. Failures are reported and passed over.
void tune_socket_buffers(const descriptor_field* slot);

// Applies --socket-buffer to a socket before it listens or connects, quietly (the connected
// socket reports it). The window that TCP advertises is set up from the receive buffer while
// connecting: shrinking the buffer below it afterwards makes the kernel drop segments, and a
// transfer then crawls. Accepted sockets inherit the listener's sizes.
void size_socket_buffers_early(int fd);
