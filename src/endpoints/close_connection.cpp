// SPDX-License-Identifier: BSD-2-Clause
#include "endpoints/close_connection.hpp"

#include "driver/run_state.hpp"
#include "platform/platform.hpp"

#include <chrono>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using steady = std::chrono::steady_clock;
constexpr auto stall_limit = std::chrono::seconds(5);
constexpr int poll_interval_ms = 10;
// At most this much input is thrown away in one go, so a peer that never stops sending
// can't hold the close in one place.
constexpr std::size_t discard_limit = std::size_t{4} << 20;

enum class input_state { open, arrived, ended };  // arrived: open, and bytes came

input_state discard_pending_input(int fd) {
    char scratch[16384];
    input_state state = input_state::open;
    for (std::size_t dropped = 0; dropped < discard_limit; dropped += sizeof scratch) {
        const ssize_t n = recv(fd, scratch, sizeof scratch, MSG_DONTWAIT);
        if (n == 0) {
            return input_state::ended;
        }
        if (n < 0) {
            const bool waiting = errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
            return waiting ? state : input_state::ended;
        }
        state = input_state::arrived;
    }
    return state;
}

void set_linger(int fd, int on, int seconds) {
    const linger setting{on, seconds};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &setting, sizeof setting);
}

// Sleeps one interval, waking early for input while the peer may still send some. Once its
// end of data has been read the socket is always readable, so it is no longer watched.
void pause_for_progress(int fd, input_state& input) {
    if (input != input_state::ended) {
        pollfd watched{fd, POLLIN, 0};
        poll(&watched, 1, poll_interval_ms);
        input = discard_pending_input(fd);
    } else {
        poll(nullptr, 0, poll_interval_ms);
    }
}

// Where the system can't tell what is unacknowledged: the peer's own end of data, read after
// ours, says it has read everything. Input that keeps arriving says nothing about our bytes,
// so the wait is 5 seconds at most; the socket is then closed without lingering, and the
// kernel goes on sending what is left.
void wait_for_peer_end(int fd, input_state input) {
    const auto deadline = steady::now() + stall_limit;
    while (input != input_state::ended && steady::now() < deadline && interrupt_seen == 0) {
        pause_for_progress(fd, input);
    }
    set_linger(fd, 0, 0);
}

// Waits while the peer acknowledges our bytes. True when all of them were acknowledged, or
// when the system can't tell and the peer's end of data was waited for instead.
bool wait_for_acknowledgement(int fd, input_state input) {
    int last = unacknowledged_bytes(fd);
    if (last < 0) {
        wait_for_peer_end(fd, input);
        return true;
    }
    auto last_progress = steady::now();
    while (last > 0 && steady::now() - last_progress < stall_limit && interrupt_seen == 0) {
        pause_for_progress(fd, input);
        const int queued = unacknowledged_bytes(fd);
        if (queued < last) {
            last_progress = steady::now();
        }
        last = queued;
    }
    return last <= 0;
}

}  // namespace

void close_connection(int fd, connection_close how) {
    if (fd < 0) {
        return;
    }
    if (how == connection_close::orderly && shutdown(fd, SHUT_WR) == 0) {
        const input_state input = discard_pending_input(fd);
        if (socket_is_tcp(fd) && !wait_for_acknowledgement(fd, input)) {
            how = connection_close::reset;  // the peer took nothing for the whole period
        }
    }
    if (how == connection_close::reset) {
        set_linger(fd, 1, 0);
    }
    close(fd);
}

void close_without_lingering(int fd) {
    set_linger(fd, 0, 0);
    close(fd);
}
