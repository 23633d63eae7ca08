// SPDX-License-Identifier: BSD-2-Clause
#include "transfer/connection_watch.hpp"

#include "platform/descriptor.hpp"
#include "platform/platform.hpp"

#include <algorithm>
#include <cerrno>

namespace {

void watch(connection_watches& watches, const stream_end& end) {
    if (end.kind != stream_kind::own_socket) {
        return;
    }
    for (connection_watch& each : watches) {
        if (each.fd == end.fd) {
            return;
        }
        if (each.fd < 0) {
            each.fd = end.fd;
            return;
        }
    }
}

// Whether a lane reads the connection in its next turn, without a wait: its read tells of a
// reset, after the bytes that came before it. A lane that waits for room reads nothing until
// it has some, which a peer that doesn't read may never give: the reset of its source must
// reach that peer all the same.
bool read_next_turn(std::span<const lane> lanes, int fd) {
    return std::any_of(lanes.begin(), lanes.end(), [fd](const lane& each) {
        return each.state == lane_state::moving && !each.waiting && each.mover.source.fd == fd;
    });
}

}  // namespace

connection_watches watch_connections(std::span<const lane> lanes) {
    connection_watches watches{};
    for (const lane& each : lanes) {
        watch(watches, each.mover.source);
        watch(watches, each.mover.destination);
    }
    return watches;
}

std::size_t add_watches(std::vector<pollfd>& watched, const connection_watches& watches,
                        std::span<const lane> lanes) {
    const std::size_t before = watched.size();
    for (const connection_watch& each : watches) {
        const bool in_wait = std::any_of(watched.begin(), watched.end(),
                                         [&each](const pollfd& at) { return at.fd == each.fd; });
        if (each.fd >= 0 && !each.hung_up && !in_wait && !read_next_turn(lanes, each.fd)) {
            watched.push_back({each.fd, 0, 0});
        }
    }
    return watched.size() - before;
}

std::optional<transfer_end> note_watches(connection_watches& watches,
                                         std::span<const pollfd> found) {
    for (const pollfd& each : found) {
        if ((each.revents & (POLLERR | POLLHUP | POLLNVAL)) == 0) {
            continue;
        }
        int error = pending_socket_error(each.fd);
        if (error == EPIPE && socket_is_tcp(each.fd)) {
            error = ECONNRESET;  // how Linux tells a reset that came after the peer's end
        }
        if (error != 0) {
            return transfer_end{transfer_end::source_failed, error, each.fd};
        }
        for (connection_watch& hung_up : watches) {
            hung_up.hung_up = hung_up.hung_up || hung_up.fd == each.fd;
        }
    }
    return std::nullopt;
}
