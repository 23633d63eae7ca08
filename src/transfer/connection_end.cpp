// SPDX-License-Identifier: BSD-2-Clause
#include "transfer/connection_end.hpp"

#include "endpoints/close_connection.hpp"
#include "platform/descriptor.hpp"
#include "platform/platform.hpp"

#include <algorithm>
#include <cerrno>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using steady = std::chrono::steady_clock;
using std::chrono::milliseconds;

// At most this much input is thrown away in one go, so a peer that never stops sending
// can't hold the close in one place.
constexpr std::size_t discard_limit = std::size_t{4} << 20;
// The wait for acknowledgements checks the unacknowledged count at growing intervals:
// nothing signals "all acknowledged" once our side is shut down.
constexpr milliseconds first_pause{1};
constexpr milliseconds longest_pause{50};

struct input_report {
    enum state_type { open, ended, failed } state;
    int error = 0;
};

input_report discard_pending_input(int fd) {
    char scratch[16384];
    for (std::size_t dropped = 0; dropped < discard_limit; dropped += sizeof scratch) {
        const ssize_t n = recv(fd, scratch, sizeof scratch, MSG_DONTWAIT);
        if (n == 0) {
            return {input_report::ended};
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            const bool empty = errno == EAGAIN || errno == EWOULDBLOCK;
            return empty ? input_report{input_report::open}
                         : input_report{input_report::failed, errno};
        }
    }
    return {input_report::open};
}

// What the connection says about itself now: a failure, or how its input stands.
input_report state_of_connection(int fd, input_report::state_type input) {
    const input_report report = input == input_report::ended ? input_report{input_report::ended}
                                                             : discard_pending_input(fd);
    if (report.state == input_report::failed) {
        return report;
    }
    const int error = pending_socket_error(fd);
    return error != 0 ? input_report{input_report::failed, error} : report;
}

// Sleeps up to `pause`, waking early for input (or an error) while the peer may still send.
// Once its end of data has been read, the socket always looks ready, so it is not watched.
wait_outcome pause_watching(int fd, input_report::state_type input, milliseconds pause) {
    pollfd watched{fd, POLLIN, 0};
    const std::span<pollfd> set =
        input == input_report::ended ? std::span<pollfd>{} : std::span<pollfd>{&watched, 1};
    return pause_unless_ready(set, pause);
}

// Where the system can't count unacknowledged bytes: a plain close that finds input unread
// would reset the connection and throw our queued bytes away, so a peer that is still sending
// is read until it ends or falls quiet for a moment (a keep-alive server that waits for its
// next request costs that moment, not more), 5 seconds at most.
close_end wait_while_peer_sends(int fd, input_report& input) {
    constexpr milliseconds quiet_enough{250};
    const steady::time_point deadline = steady::now() + std::chrono::seconds(5);
    while (input.state != input_report::ended && steady::now() < deadline) {
        pollfd watched{fd, POLLIN, 0};
        const wait_outcome outcome = pause_unless_ready({&watched, 1}, quiet_enough);
        if (outcome == wait_outcome::interrupted) {
            return {close_end::interrupted};
        }
        input = state_of_connection(fd, input.state);
        if (input.state == input_report::failed) {
            return {close_end::reset_by_peer, input.error};
        }
        if (outcome != wait_outcome::ready) {
            break;  // quiet: nothing will reset the close
        }
    }
    return {close_end::delivered};
}

close_end reset_end(int fd, int error, bool shut_down = true) {
    return {close_end::reset_by_peer, error, undelivered_bytes(fd, shut_down)};
}

close_end wait_for_acknowledgement(int fd, const idle_limit& limit, input_report& input) {
    int last = unacknowledged_bytes(fd);
    if (last < 0) {
        input = state_of_connection(fd, input.state);
        if (input.state == input_report::failed) {
            return {close_end::reset_by_peer, input.error};
        }
        return wait_while_peer_sends(fd, input);
    }
    steady::time_point last_progress = steady::now();
    milliseconds pause = first_pause;
    for (;;) {
        input = state_of_connection(fd, input.state);
        if (input.state == input_report::failed) {
            return reset_end(fd, input.error);
        }
        const int queued = unacknowledged_bytes(fd);
        if (queued <= 0) {
            return {close_end::delivered};  // all acknowledged, or the system can't tell
        }
        if (queued < last) {
            last_progress = steady::now();
            pause = first_pause;
        }
        last = queued;
        milliseconds next = pause;
        if (limit.in_force) {
            const auto idle =
                std::chrono::duration_cast<milliseconds>(steady::now() - last_progress);
            if (idle >= limit.period) {
                const int undelivered = undelivered_bytes(fd, true);
                // only our end of data waits for its acknowledgement: every byte arrived
                return undelivered > 0 ? close_end{close_end::timed_out, 0, undelivered}
                                       : close_end{close_end::delivered};
            }
            next = std::min(next, limit.period - idle);
        }
        if (pause_watching(fd, input.state, next) == wait_outcome::interrupted) {
            return {close_end::interrupted};
        }
        pause = std::min(pause * 2, longest_pause);
    }
}

// The peer has everything: it has a moment to end its side, or to reset.
close_end wait_out_the_grace(int fd, input_report& input) {
    const steady::time_point deadline = steady::now() + milliseconds(close_grace_ms);
    while (input.state != input_report::ended) {
        const auto left = std::chrono::duration_cast<milliseconds>(deadline - steady::now());
        if (left.count() <= 0) {
            break;
        }
        if (pause_watching(fd, input.state, left) == wait_outcome::interrupted) {
            return {close_end::interrupted};
        }
        input = state_of_connection(fd, input.state);
        if (input.state == input_report::failed) {
            return reset_end(fd, input.error);
        }
    }
    return {close_end::delivered};
}

}  // namespace

int undelivered_bytes(int fd, bool shut_down) {
    if (fd < 0 || !socket_is_tcp(fd)) {
        return 0;
    }
    // our end of data takes a place in TCP's count, but is no byte of the stream
    const int queued = unacknowledged_bytes(fd) - (shut_down ? 1 : 0);
    return queued > 0 ? queued : 0;
}

bool begin_orderly_close(int fd) {
    return shutdown(fd, SHUT_WR) == 0;
}

close_end finish_orderly_close(int fd, bool shut_down, const close_terms& terms) {
    if (!shut_down) {
        // The connection was gone before the close: a reset that no call has reported yet
        // is reported now; one that a failed call reported was judged with that call.
        const int error = pending_socket_error(fd);
        const close_end end =
            error != 0 ? reset_end(fd, error, false) : close_end{close_end::delivered};
        close_plainly(fd);
        return end;
    }
    input_report input{input_report::open};
    close_end end = wait_for_acknowledgement(fd, terms.limit, input);
    if (end.kind == close_end::delivered && terms.grace) {
        end = wait_out_the_grace(fd, input);
    }
    if (end.kind == close_end::timed_out) {
        close_with_reset(fd);
    } else {
        close_plainly(fd);
    }
    return end;
}
