// SPDX-License-Identifier: BSD-2-Clause
#include "endpoints/close_connection.hpp"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

void set_linger(int fd, int on, int seconds) {
    const linger setting{on, seconds};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &setting, sizeof setting);
}

}  // namespace

void close_plainly(int fd) {
    set_linger(fd, 0, 0);
    close(fd);
}

void close_with_reset(int fd) {
    if (fd < 0) {
        return;
    }
    set_linger(fd, 1, 0);
    close(fd);
}

void prepare_connection(int fd) {
    const int flags = fcntl(fd, F_GETFL);
    if (flags >= 0) {
        fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    }
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_OOBINLINE, &on, sizeof on);
}
