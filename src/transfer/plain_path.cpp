// SPDX-License-Identifier: BSD-2-Clause
#include "transfer/plain_path.hpp"

#include "platform/platform.hpp"
#include "transfer/chunk_mover.hpp"
#include "transfer/interruptible_write.hpp"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

bool is_full(int error) {
    return error == EAGAIN || error == EWOULDBLOCK;
}

ssize_t nothing_fits() {
    errno = EAGAIN;
    return -1;
}

// One write that doesn't wait: a pipe or a terminal that blocks is asked for room first and
// given no more than one write is sure to find when nobody else writes (a pipe keeps its
// bytes in pages, which a count of bytes can't tell); where another writer or a stopped
// terminal blocks it all the same, Ctrl-C or the idle period ends it. Everything else can't
// keep us waiting.
ssize_t write_some(const chunk_mover& mover, const unsigned char* data, std::size_t length) {
    switch (mover.to_kind) {
    case stream_kind::own_socket: return send_without_sigpipe(mover.to_fd, data, length, false);
    case stream_kind::shared_socket: return send_without_sigpipe(mover.to_fd, data, length, true);
    case stream_kind::reopened: return write(mover.write_fd, data, length);
    case stream_kind::shared_pipe:
    case stream_kind::terminal:
        if (!ready_now(mover.to_fd, POLLOUT)) {
            return nothing_fits();
        }
        return write_interruptibly(mover.to_fd, data, std::min<std::size_t>(length, PIPE_BUF));
    case stream_kind::always_ready:
    case stream_kind::not_open_this_way: break;
    }
    return write(mover.to_fd, data, length);
}

// Whether a write that takes part of what it was given means that the destination is full:
// so for a non-blocking socket or pipe; a file's short write is a failure the next one tells,
// and a terminal or a shared pipe is given small pieces on purpose.
bool fills_up(stream_kind kind) {
    return kind == stream_kind::own_socket || kind == stream_kind::shared_socket ||
           kind == stream_kind::reopened;
}

// One read that never waits.
ssize_t read_some(const chunk_mover& mover) {
    switch (mover.from_kind) {
    case stream_kind::shared_socket:
        return recv(mover.from_fd, mover.buffer.data(), mover.buffered_move, MSG_DONTWAIT);
    case stream_kind::shared_pipe:
    case stream_kind::terminal:
        if (!ready_now(mover.from_fd, POLLIN)) {
            return nothing_fits();
        }
        break;
    case stream_kind::always_ready:
    case stream_kind::own_socket:
    case stream_kind::reopened:
    case stream_kind::not_open_this_way: break;
    }
    return read(mover.read_fd, mover.buffer.data(), mover.buffered_move);
}

}  // namespace

chunk_result take_into_buffer(chunk_mover& mover) {
    for (;;) {
        const ssize_t n = read_some(mover);
        if (n > 0) {
            mover.chunk = {static_cast<std::size_t>(n), 0, chunk_in_flight::place::buffer, 0};
            return {chunk_result::moved, 0};
        }
        if (n == 0) {
            return {chunk_result::source_ended};
        }
        if (errno == EINTR) {
            continue;
        }
        if (is_full(errno)) {
            return {chunk_result::must_wait, 0, {}, 0, mover.from_fd, POLLIN};
        }
        return {chunk_result::source_failed, 0, {}, errno, mover.from_fd};
    }
}

chunk_result deliver_from_buffer(chunk_mover& mover) {
    chunk_in_flight& chunk = mover.chunk;
    while (chunk.delivered < chunk.length) {
        const ssize_t written = write_some(mover, mover.buffer.data() + chunk.delivered,
                                           chunk.length - chunk.delivered);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written < 0 && is_full(errno)) {
            return {chunk_result::must_wait, 0, {}, 0, mover.to_fd, POLLOUT};
        }
        if (written <= 0) {
            // what the writes before took did arrive, and is counted
            const int error = written < 0 ? errno : EIO;
            const std::size_t delivered = chunk.delivered;
            chunk = {};
            return {chunk_result::destination_failed, delivered, mover.buffer.first(delivered),
                    error, mover.to_fd};
        }
        const bool partly = static_cast<std::size_t>(written) < chunk.length - chunk.delivered;
        chunk.delivered += static_cast<std::size_t>(written);
        if (partly && fills_up(mover.to_kind)) {
            // it took what fitted: another write now would only find it full
            return {chunk_result::must_wait, 0, {}, 0, mover.to_fd, POLLOUT};
        }
    }
    const std::size_t length = chunk.length;
    chunk = {};
    return {chunk_result::moved, length, mover.buffer.first(length)};
}

chunk_result plain_move(chunk_mover& mover) {
    if (mover.chunk.length == 0) {
        const chunk_result taken = take_into_buffer(mover);
        if (taken.kind != chunk_result::moved) {
            return taken;
        }
    }
    return deliver_from_buffer(mover);
}
