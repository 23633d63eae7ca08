// SPDX-License-Identifier: BSD-2-Clause
// macOS counts a socket's unsent and unacknowledged bytes with the SO_NWRITE option.
#include "platform/platform.hpp"

#include <sys/socket.h>

int unacknowledged_bytes(int fd) {
    int queued = 0;
    socklen_t length = sizeof queued;
    return getsockopt(fd, SOL_SOCKET, SO_NWRITE, &queued, &length) == 0 ? queued : -1;
}
