// SPDX-License-Identifier: BSD-2-Clause
// Reads and writes that may block: of a pipe or a terminal that we were given and couldn't open
// again without blocking (every such stream in the portable build; a terminal that we read,
// everywhere). poll says that it has bytes or room, but another reader may take the bytes
// first and another writer the room, a terminal may be stopped (XOFF), and a terminal given
// more than its room waits for the rest. Such a call still ends: Ctrl-C interrupts it, and so
// does the end of the idle period where the transfer has one (transfer/wait.hpp).
#pragma once

#include <cstddef>
#include <sys/types.h>

// While a mover reads or writes such a stream, SIGINT and SIGQUIT interrupt a blocked call
// instead of letting it go on (their handlers lose SA_RESTART), and SIGALRM has a handler that
// does nothing but interrupt it. Calls nest; the last end puts every handler back as it was.
void begin_interruptible_calls();
void end_interruptible_calls();

// One read of up to `length` bytes, which may block, with the interrupt signals let in and,
// under an idle limit, a timer of its period. One interrupted before any byte came, or not
// made because Ctrl-C came first, fails with EAGAIN, and the transfer's wait decides what
// comes next.
[[nodiscard]] ssize_t read_interruptibly(int fd, void* data, std::size_t length);

// One write of `length` bytes, the same way. A write interrupted after some bytes gives their
// count.
[[nodiscard]] ssize_t write_interruptibly(int fd, const void* data, std::size_t length);
