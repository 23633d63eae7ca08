#include "endpoints/socket_calls.hpp"

#include "state/handled_signals.hpp"

#include <cerrno>
#include <unistd.h>

int socket_into(descriptor_field* slot, int domain) {
    const sigset_t previous = block_handled_signals();
    const int fd = socket(domain, SOCK_STREAM, 0);
    *slot = fd;
    restore_signal_mask(previous);
    return fd;
}

int accept_into(descriptor_field* slot, int listening_fd, sockaddr* address, socklen_t* length) {
    const int fd = accept(listening_fd, address, length);
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
    return fd;
}
