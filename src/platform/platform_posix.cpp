// SPDX-License-Identifier: BSD-2-Clause
#include "platform/platform.hpp"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <getopt.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

#if defined(MSG_NOSIGNAL)
constexpr int no_sigpipe = MSG_NOSIGNAL;
#else
constexpr int no_sigpipe = 0;  // macOS: SIGPIPE stays held back for the whole transfer
#endif

}  // namespace

// The BSDs count a socket's unsent and unacknowledged bytes with FIONWRITE, macOS with
// SO_NWRITE; elsewhere the close can't see them.
#if defined(FIONWRITE)
int unacknowledged_bytes(int fd) {
    int queued = 0;
    return ioctl(fd, FIONWRITE, &queued) == 0 ? queued : -1;
}
#elif defined(SO_NWRITE)
int unacknowledged_bytes(int fd) {
    int queued = 0;
    socklen_t length = sizeof queued;
    return getsockopt(fd, SOL_SOCKET, SO_NWRITE, &queued, &length) == 0 ? queued : -1;
}
#else
int unacknowledged_bytes(int /*fd*/) {
    return -1;
}
#endif

// Plain poll can't let the interrupt signals in atomically, so it sleeps a quarter of a
// second at most and the caller looks at the flag again.
int poll_unless_stopped(pollfd* watched, nfds_t count, int timeout_ms,
                        const volatile std::sig_atomic_t& stop) {
    if (stop != 0) {
        errno = EINTR;
        return -1;
    }
    constexpr int longest_sleep_ms = 250;
    const int sleep_ms = timeout_ms < 0 ? longest_sleep_ms : std::min(timeout_ms, longest_sleep_ms);
    return poll(watched, count, sleep_ms);
}

std::size_t pipe_room(int /*fd*/) {
    return PIPE_BUF;
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

ssize_t send_without_sigpipe(int fd, const void* data, std::size_t length, bool dont_wait) {
    return send(fd, data, length, no_sigpipe | (dont_wait ? MSG_DONTWAIT : 0));
}
