// SPDX-License-Identifier: BSD-2-Clause
// The few calls whose form differs between systems, each behind a small function. The
// Linux build links platform_linux.cpp, and error_text_glibc.cpp or, on musl,
// error_text_musl.cpp; every other POSIX system (and the portable build on Linux) links
// platform_posix.cpp and the count of unacknowledged bytes that the system has:
// unacknowledged_so_nwrite.cpp (macOS), unacknowledged_fionwrite.cpp (FreeBSD, NetBSD) or
// unacknowledged_none.cpp. CMakeLists.txt chooses.
#pragma once

#include <csignal>
#include <cstddef>
#include <poll.h>
#include <sys/types.h>

// Bytes written to a socket that its peer doesn't have yet: on TCP the ones it hasn't
// acknowledged, on a UNIX-domain socket (where the system counts them) the ones its program
// hasn't read. -1 where the system can't tell.
[[nodiscard]] int unacknowledged_bytes(int fd);

// Whether unacknowledged_bytes counts our end of data too, once the socket is shut down for
// writing, until the peer acknowledges it: TCP gives the end a place of its own in the
// stream's sequence, and a count taken from the sequence (Linux) holds it; a count of the
// bytes in the send buffer (the BSDs, macOS) never does. Only a count that holds it may have
// it taken off.
[[nodiscard]] bool unacknowledged_count_holds_end_of_data();

// Bytes waiting in the outgoing queue of a socket, pipe or terminal that the destination
// hasn't taken yet (a socket's peer, a pipe's reader, a terminal's line); -1 where the system
// can't tell. While a write waits for room, a fall in this count is the destination's progress.
[[nodiscard]] int queued_output(int fd);

// One wait (or, with a timeout of 0, one look) of a transfer that holds the interrupt signals
// back: poll with the signal mask `waiting` (the one from before the hold) for the wait alone,
// unless `stop` is set. An interrupt that came while they were held back is delivered in the
// wait: the result is then -1 with EINTR, as for any signal that came during it. Linux makes
// this one call. A system without such a wait lets the signals in, looks at `stop`, sleeps a
// quarter of a second at most (returning 0 as if the time had passed) and holds them back
// again: one that comes between the look and the sleep waits for the sleep's end.
[[nodiscard]] int poll_letting_interrupts_in(pollfd* watched, nfds_t count, int timeout_ms,
                                             const sigset_t& waiting,
                                             const volatile std::sig_atomic_t& stop);

// A new, non-blocking open of the pipe or terminal that `fd` refers to, for `access_mode`
// (O_RDONLY, O_WRONLY or O_RDWR), closed on exec and never made our controlling terminal: a
// descriptor of our own whose flags nobody else shares. -1 where the system can't open it
// again (Linux opens it through /proc/self/fd; a FIFO without a reader refuses).
[[nodiscard]] int reopen_without_blocking(int fd, int access_mode);

// Makes the pipe hold at least `bytes` where the system lets a program choose. A pipe that
// holds as much already keeps its size, and so does one whose growth the system refuses (past
// the largest size an unprivileged program may set, or past its owner's share of pipe pages).
void grow_pipe(int fd, std::size_t bytes);

// Whether the socket is a TCP one (as opposed to a UNIX-domain socket).
[[nodiscard]] bool socket_is_tcp(int fd);

// The text of an error number, safe to call from a signal handler.
[[nodiscard]] const char* error_text_signal_safe(int error);

// Makes getopt_long start afresh, so that the scanner can run more than once in a process.
void restart_option_scanning();

// Asks the system not to raise SIGPIPE for writes to a socket of ours, where a socket can be
// told so (SO_NOSIGPIPE); elsewhere send_without_sigpipe keeps the signal away on its own.
void keep_sigpipe_off_socket(int fd);

// send() without SIGPIPE: a peer that has gone is a failed write, not a signal. A socket
// `handed_over` by a parent is shared and may block: that send doesn't wait, and doesn't count
// on what keep_sigpipe_off_socket did for ours.
[[nodiscard]] ssize_t send_without_sigpipe(int fd, const void* data, std::size_t length,
                                           bool handed_over);
