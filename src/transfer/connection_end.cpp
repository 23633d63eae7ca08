// SPDX-License-Identifier: BSD-2-Clause
#include "transfer/connection_end.hpp"

#include "platform/descriptor.hpp"
#include "platform/platform.hpp"

#include <cerrno>
#include <cstddef>
#include <sys/ioctl.h>
#include <sys/socket.h>

namespace {

// At most this much input is thrown away in one go, so a peer that never stops sending
// can't hold the transfer's other lanes.
constexpr std::size_t discard_limit = std::size_t{4} << 20;

}  // namespace

int undelivered_bytes(int fd, bool shut_down) {
    if (fd < 0 || !socket_is_tcp(fd)) {
        return 0;
    }
    const int counted = unacknowledged_bytes(fd);
    if (counted <= 0) {
        return 0;  // none, or the system can't tell
    }
    // where our end of data takes a place in the count, it is no byte of the stream
    const bool end_counted = shut_down && unacknowledged_count_holds_end_of_data();
    return counted - (end_counted ? 1 : 0);
}

int pass_end_on(int fd) {
    if (shutdown(fd, SHUT_WR) == 0) {
        return 0;
    }
    const int error = pending_socket_error(fd);
    return error != 0 ? error : errno;
}

acknowledgement acknowledgement_of(int fd) {
    const int error = pending_socket_error(fd);
    if (error != 0) {
        return {acknowledgement::failed, 0, error};
    }
    const int queued = unacknowledged_bytes(fd);
    if (queued < 0) {
        return {acknowledgement::unknown};
    }
    return queued == 0 ? acknowledgement{acknowledgement::complete}
                       : acknowledgement{acknowledgement::waiting, queued};
}

leftover_input throw_away_input(int fd) {
    char scratch[16384];
    for (std::size_t dropped = 0; dropped < discard_limit; dropped += sizeof scratch) {
        const ssize_t n = recv(fd, scratch, sizeof scratch, MSG_DONTWAIT);
        if (n == 0) {
            return {leftover_input::ended};
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            const bool empty = errno == EAGAIN || errno == EWOULDBLOCK;
            return empty ? leftover_input{leftover_input::open}
                         : leftover_input{leftover_input::failed, errno};
        }
    }
    return {leftover_input::open};
}

int unread_input(int fd) {
    int waiting = 0;
    return fd >= 0 && ioctl(fd, FIONREAD, &waiting) == 0 ? waiting : 0;
}
