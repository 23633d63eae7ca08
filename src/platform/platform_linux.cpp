// SPDX-License-Identifier: BSD-2-Clause
#include "platform/platform.hpp"

#include <cstring>
#include <getopt.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

int unacknowledged_bytes(int fd) {
    int queued = 0;
    return ioctl(fd, SIOCOUTQ, &queued) == 0 ? queued : -1;
}

bool socket_is_tcp(int fd) {
    int domain = 0;
    socklen_t length = sizeof domain;
    return getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &domain, &length) == 0 && domain == AF_INET;
}

const char* error_text_signal_safe(int error) {
    return strerrordesc_np(error);  // unlike strerror, reads no locale
}

void restart_option_scanning() {
    optind = 0;  // glibc starts afresh on 0
}

ssize_t send_without_sigpipe(int fd, const void* data, std::size_t length, bool dont_wait) {
    return send(fd, data, length, MSG_NOSIGNAL | (dont_wait ? MSG_DONTWAIT : 0));
}
