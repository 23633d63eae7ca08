// SPDX-License-Identifier: BSD-2-Clause
#include "platform/platform.hpp"

#include <cstring>
#include <getopt.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

#if defined(MSG_NOSIGNAL)
constexpr int no_sigpipe = MSG_NOSIGNAL;
#else
constexpr int no_sigpipe = 0;  // macOS: SIGPIPE stays held back for the whole transfer
#endif

}  // namespace

int unacknowledged_bytes(int /*fd*/) {
    return -1;
}

bool socket_is_tcp(int fd) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    return getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0 &&
           address.ss_family == AF_INET;
}

// strerror reads the locale and is not on the list of async-signal-safe calls; it is used
// only for the report of a terminal that couldn't be restored, where a line is worth it.
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
