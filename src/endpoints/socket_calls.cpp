// SPDX-License-Identifier: BSD-2-Clause
#include "endpoints/socket_calls.hpp"

#include "platform/descriptor.hpp"

#include "platform/platform.hpp"
#include "state/handled_signals.hpp"

#include <cerrno>
#include <poll.h>
#include <unistd.h>

int listen_for_peers(int fd) {
    return listen(fd, has_flag(FLAG_CONTINUE) ? SOMAXCONN : 1);
}

int socket_into(descriptor_field* slot, int domain) {
    const sigset_t previous = block_handled_signals();
    const int fd = socket(domain, SOCK_STREAM, 0);
    *slot = fd;
    restore_signal_mask(previous);
    if (fd >= 0) {
        keep_sigpipe_off_socket(fd);
    }
    return fd;
}

int accept_into(descriptor_field* slot, int listening_fd, sockaddr* address, socklen_t* length) {
    int fd = accept(listening_fd, address, length);
    while (fd < 0 && errno == EINTR && interrupt_seen == 0) {
        fd = accept(listening_fd, address, length);
    }
    if (fd < 0) {
        return -1;
    }
    // The accept can't wait with the signals held back: an interrupt between its return and
    // here found the field without this peer.
    const sigset_t previous = block_handled_signals();
    const bool interrupted = interrupt_seen != 0;
    if (interrupted) {
        close(fd);
    } else {
        *slot = fd;
    }
    restore_signal_mask(previous);
    if (interrupted) {
        errno = EINTR;
        return -1;
    }
    keep_sigpipe_off_socket(fd);
    return fd;
}

int connect_through_signals(int fd, const sockaddr* address, socklen_t length) {
    if (connect(fd, address, length) == 0) {
        return 0;
    }
    if (errno != EINTR) {
        return -1;
    }
    // A second connect would only fail: the first goes on until the socket is writable.
    pollfd watched{fd, POLLOUT, 0};
    for (;;) {
        if (interrupt_seen != 0) {
            errno = EINTR;
            return -1;
        }
        const int ready = poll(&watched, 1, -1);
        if (ready > 0) {
            break;
        }
        if (ready < 0 && errno != EINTR) {
            return -1;
        }
    }
    const int error = pending_socket_error(fd);
    if (error != 0) {
        errno = error;
        return -1;
    }
    return 0;
}
