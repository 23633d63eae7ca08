// SPDX-License-Identifier: BSD-2-Clause
#include "platform/platform.hpp"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <getopt.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

bool sigpipe_pending() {
    sigset_t pending;
    return sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;
}

// A send with SIGPIPE held back: the one that it raises (its peer has gone) is taken off
// again before the signal is let in, so the send fails with EPIPE like any other. A SIGPIPE
// that was already waiting, behind a mask of the caller's, is left for the caller. A pipe on
// standard output is written elsewhere and still raises it.
ssize_t send_holding_sigpipe_back(int fd, const void* data, std::size_t length, int flags) {
    sigset_t sigpipe;
    sigemptyset(&sigpipe);
    sigaddset(&sigpipe, SIGPIPE);
    sigset_t previous;
    sigprocmask(SIG_BLOCK, &sigpipe, &previous);
    const bool waiting_already = sigismember(&previous, SIGPIPE) == 1 && sigpipe_pending();
    const ssize_t sent = send(fd, data, length, flags);
    const int send_error = errno;
    if (sent < 0 && send_error == EPIPE && !waiting_already && sigpipe_pending()) {
        int taken = 0;
        sigwait(&sigpipe, &taken);
    }
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    errno = send_error;
    return sent;
}

}  // namespace

// No queue count that every POSIX system has: a waiting write's progress is seen by trying it.
int queued_output(int /*fd*/) {
    return -1;
}

// Plain poll can't let the interrupt signals in atomically, so it sleeps a quarter of a
// second at most and the caller looks at the flag again.
int poll_letting_interrupts_in(pollfd* watched, nfds_t count, int timeout_ms,
                               const sigset_t& waiting, const volatile std::sig_atomic_t& stop) {
    sigset_t held;
    sigprocmask(SIG_SETMASK, &waiting, &held);  // one held back until now is delivered here
    int ready = -1;
    errno = EINTR;
    if (stop == 0) {
        constexpr int longest_sleep_ms = 250;
        const int sleep_ms =
            timeout_ms < 0 ? longest_sleep_ms : std::min(timeout_ms, longest_sleep_ms);
        ready = poll(watched, count, sleep_ms);
    }
    const int saved_errno = errno;
    sigprocmask(SIG_SETMASK, &held, nullptr);
    errno = saved_errno;
    return ready;
}

// A pipe or a terminal can't be opened again by its descriptor everywhere: every read and write
// of one we were given waits for poll first, and a read or write that blocks all the same can
// be interrupted (transfer/interruptible_io.hpp).
int reopen_without_blocking(int /*fd*/, int /*access_mode*/) {
    return -1;
}

// A pipe's size is the system's own choice here.
void grow_pipe(int /*fd*/, std::size_t /*bytes*/) {}

bool socket_is_tcp(int fd) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    return getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0 &&
           (address.ss_family == AF_INET || address.ss_family == AF_INET6);
}

// strerror reads the locale and is not on the list of async-signal-safe calls; it is used
// only for the report of a terminal that couldn't be switched or restored, where a line is
// worth it.
const char* error_text_signal_safe(int error) {
    return std::strerror(error);
}

#if defined(__GLIBC__)
void restart_option_scanning() {
    optind = 0;  // glibc starts afresh on 0
}
#else
void restart_option_scanning() {
    optreset = 1;  // the BSDs and macOS
    optind = 1;
}
#endif

// SO_NOSIGPIPE (macOS, FreeBSD, NetBSD) is set on every socket of ours; a socket that a parent
// handed over is shared and keeps its options. Elsewhere, and for such a socket, SIGPIPE is
// held back around each send. MSG_NOSIGNAL is not used here: the systems that have it and
// not SO_NOSIGPIPE are served by the hold, and the portable build on Linux then tests the
// way that macOS takes for a socket it was handed.
void keep_sigpipe_off_socket([[maybe_unused]] int fd) {
#if defined(SO_NOSIGPIPE)
    const int on = 1;
    if (setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof on) != 0) {
        std::perror("setsockopt:SO_NOSIGPIPE");
    }
#endif
}

ssize_t send_without_sigpipe(int fd, const void* data, std::size_t length, bool handed_over) {
    const int flags = handed_over ? MSG_DONTWAIT : 0;
#if defined(SO_NOSIGPIPE)
    if (!handed_over) {
        return send(fd, data, length, flags);
    }
#endif
    return send_holding_sigpipe_back(fd, data, length, flags);
}
