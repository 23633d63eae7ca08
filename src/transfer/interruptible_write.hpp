// SPDX-License-Identifier: BSD-2-Clause
// A write that may block: to a pipe or a terminal that we were given and couldn't open again
// without blocking (every such stream in the portable build). poll says that it has room, but
// another writer may take the room first, a terminal may be stopped (XOFF), and a terminal
// given more than its room waits for the rest. Such a write still ends: Ctrl-C interrupts it,
// and in a two-way transfer with --timeout so does the end of the idle period.
#pragma once

#include <cstddef>
#include <sys/types.h>

// While a mover writes such a stream, SIGINT and SIGQUIT interrupt a blocked write instead of
// letting it go on (their handlers lose SA_RESTART), and SIGALRM has a handler that does
// nothing but interrupt it. Calls nest; the last end puts every handler back as it was.
void begin_interruptible_writes();
void end_interruptible_writes();

// One write of `length` bytes, which may block, with the interrupt signals let in and, in a
// two-way transfer with --timeout, under a timer of the idle period. A write interrupted after
// some bytes gives their count; one interrupted before any, or not made because Ctrl-C came
// first, fails with EAGAIN, and the transfer's wait decides what comes next.
[[nodiscard]] ssize_t write_interruptibly(int fd, const void* data, std::size_t length);
