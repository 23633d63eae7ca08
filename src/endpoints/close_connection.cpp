#include "endpoints/close_connection.hpp"

#include <chrono>
#include <linux/sockios.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using steady = std::chrono::steady_clock;
constexpr auto stall_limit = std::chrono::seconds(5);
constexpr int poll_interval_ms = 10;

bool is_tcp(int fd) {
    int domain = 0;
    socklen_t length = sizeof domain;
    return getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &domain, &length) == 0 && domain == AF_INET;
}

void discard_pending_input(int fd) {
    char scratch[16384];
    while (recv(fd, scratch, sizeof scratch, MSG_DONTWAIT) > 0) {
    }
}

// Bytes written but not yet acknowledged by the peer; -1 when the kernel can't tell.
int unacknowledged_bytes(int fd) {
    int queued = 0;
    return ioctl(fd, SIOCOUTQ, &queued) == 0 ? queued : -1;
}

void wait_for_acknowledgement(int fd) {
    int last = unacknowledged_bytes(fd);
    auto last_progress = steady::now();
    while (last > 0 && steady::now() - last_progress < stall_limit) {
        pollfd input{fd, POLLIN, 0};
        poll(&input, 1, poll_interval_ms);
        discard_pending_input(fd);
        const int queued = unacknowledged_bytes(fd);
        if (queued < last) {
            last_progress = steady::now();
        }
        last = queued;
    }
}

}  // namespace

void close_connection(int fd) {
    if (shutdown(fd, SHUT_WR) == 0) {
        // Unread input would turn the close into a reset (TCP) or an error for the peer's
        // next read (UNIX-domain) instead of a plain end of data.
        discard_pending_input(fd);
        if (is_tcp(fd)) {
            wait_for_acknowledgement(fd);
        }
    }
    close(fd);
}
