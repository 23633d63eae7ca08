// SPDX-License-Identifier: BSD-2-Clause
#include "platform/platform.hpp"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <getopt.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

int unacknowledged_bytes(int fd) {
    int queued = 0;
    return ioctl(fd, SIOCOUTQ, &queued) == 0 ? queued : -1;
}

// SIOCOUTQ is the distance from the first unacknowledged place in the sequence to the next one
// to be written: our end of data, once sent, is one place of it. A reset leaves the distance
// as it was, so the count still says what the peer never acknowledged.
bool unacknowledged_count_holds_end_of_data() {
    return true;
}

int queued_output(int fd) {
    struct stat status {};
    if (fstat(fd, &status) != 0) {
        return -1;
    }
    unsigned long request = 0;
    if (S_ISSOCK(status.st_mode)) {
        request = SIOCOUTQ;
    } else if (S_ISFIFO(status.st_mode)) {
        request = FIONREAD;
    } else if (S_ISCHR(status.st_mode) && isatty(fd) != 0) {
        request = TIOCOUTQ;
    } else {
        return -1;
    }
    int queued = 0;
    return ioctl(fd, request, &queued) == 0 ? queued : -1;
}

int poll_letting_interrupts_in(pollfd* watched, nfds_t count, int timeout_ms,
                               const sigset_t& waiting, const volatile std::sig_atomic_t& stop) {
    if (stop != 0) {
        errno = EINTR;
        return -1;
    }
    const timespec limit{timeout_ms / 1000, (timeout_ms % 1000) * 1000000L};
    return ppoll(watched, count, timeout_ms < 0 ? nullptr : &limit, &waiting);
}

int reopen_without_blocking(int fd, int access_mode) {
    char path[32];
    std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
    const int own = open(path, access_mode | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (own < 0) {
        return -1;
    }
    struct stat given {};
    struct stat opened {};
    const bool same = fstat(fd, &given) == 0 && fstat(own, &opened) == 0 &&
                      given.st_dev == opened.st_dev && given.st_ino == opened.st_ino;
    if (!same) {
        close(own);
        return -1;
    }
    return own;
}

void grow_pipe(int fd, std::size_t bytes) {
    const int capacity = fcntl(fd, F_GETPIPE_SZ);
    if (capacity > 0 && static_cast<std::size_t>(capacity) < bytes) {
        fcntl(fd, F_SETPIPE_SZ, static_cast<int>(bytes));  // a refusal leaves the pipe as it was
    }
}

bool socket_is_tcp(int fd) {
    int domain = 0;
    socklen_t length = sizeof domain;
    return getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &domain, &length) == 0 &&
           (domain == AF_INET || domain == AF_INET6);
}

void restart_option_scanning() {
    optind = 0;  // glibc starts afresh on 0
}

// Every send says MSG_NOSIGNAL, which a socket handed over needs as much as one of ours.
void keep_sigpipe_off_socket(int /*fd*/) {}

ssize_t send_without_sigpipe(int fd, const void* data, std::size_t length, bool handed_over) {
    return send(fd, data, length, MSG_NOSIGNAL | (handed_over ? MSG_DONTWAIT : 0));
}
