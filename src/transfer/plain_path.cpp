// SPDX-License-Identifier: BSD-2-Clause
#include "transfer/plain_path.hpp"

#include "platform/platform.hpp"
#include "transfer/chunk.hpp"
#include "transfer/interruptible_io.hpp"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

namespace {

bool is_full(int error) {
    return error == EAGAIN || error == EWOULDBLOCK;
}

chunk_result wait_for(awaited_end end) {
    chunk_result result{chunk_result::must_wait};
    result.awaited = end;
    return result;
}

// One write that doesn't wait. A pipe or a terminal that we share is written only once the
// wait found it ready, and given no more than one write is sure to find room for when nobody
// else writes (a pipe keeps its bytes in pages, which a count of bytes can't tell); where
// another writer or a stopped terminal blocks it all the same, Ctrl-C or the idle period ends
// it. Everything else can't keep us waiting.
ssize_t write_some(const stream_end& to, const unsigned char* data, std::size_t length) {
    switch (to.kind) {
    case stream_kind::own_socket: return send_without_sigpipe(to.fd, data, length, false);
    case stream_kind::shared_socket: return send_without_sigpipe(to.fd, data, length, true);
    case stream_kind::reopened: return write(to.io_fd, data, length);
    case stream_kind::shared_pipe:
    case stream_kind::terminal:
        return write_interruptibly(to.fd, data, std::min<std::size_t>(length, PIPE_BUF));
    case stream_kind::always_ready:
    case stream_kind::not_open_this_way: break;
    }
    return write(to.fd, data, length);
}

// Whether a write that takes part of what it was given means that the destination is full:
// so for a non-blocking socket or pipe; a file's short write is a failure the next one tells,
// and a terminal or a shared pipe is given small pieces on purpose.
bool fills_up(stream_kind kind) {
    return kind == stream_kind::own_socket || kind == stream_kind::shared_socket ||
           kind == stream_kind::reopened;
}

// One read that doesn't wait. A pipe or a terminal that we share is read once the wait found
// it ready; where another reader takes its bytes first and the read blocks all the same,
// Ctrl-C or the idle period ends it.
ssize_t read_some(const chunk_mover& mover) {
    const stream_end& from = mover.source;
    switch (from.kind) {
    case stream_kind::shared_socket:
        return recv(from.fd, mover.buffer.data(), mover.buffered_move, MSG_DONTWAIT);
    case stream_kind::shared_pipe:
    case stream_kind::terminal:
        return read_interruptibly(from.io_fd, mover.buffer.data(), mover.buffered_move);
    default: break;
    }
    return read(from.io_fd, mover.buffer.data(), mover.buffered_move);
}

}  // namespace

chunk_result take_into_buffer(chunk_mover& mover, bool source_ready) {
    if (asked_first(mover.source.kind) && !source_ready) {
        return wait_for(awaited_end::source);
    }
    for (;;) {
        const ssize_t n = read_some(mover);
        if (n > 0) {
            mover.chunk = {static_cast<std::size_t>(n), 0, chunk_in_flight::place::buffer, 0};
            return {chunk_result::taken};
        }
        if (n == 0) {
            return {chunk_result::source_ended};
        }
        if (errno == EINTR) {
            continue;
        }
        if (is_full(errno)) {
            return wait_for(awaited_end::source);
        }
        return {chunk_result::source_failed, 0, {}, errno, mover.source.fd};
    }
}

chunk_result deliver_from_buffer(chunk_mover& mover, bool destination_ready) {
    chunk_in_flight& chunk = mover.chunk;
    const stream_end& to = mover.destination;
    const bool full_when_short = fills_up(to.kind);
    while (chunk.delivered < chunk.length) {
        if (asked_first(to.kind) && !std::exchange(destination_ready, false)) {
            return wait_for(awaited_end::destination);  // each write of it asks first
        }
        const ssize_t written =
            write_some(to, mover.buffer.data() + chunk.delivered, chunk.length - chunk.delivered);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written < 0 && is_full(errno)) {
            return wait_for(awaited_end::destination);
        }
        if (written <= 0) {
            // what the writes before took did arrive, and is counted
            const int error = written < 0 ? errno : EIO;
            const std::size_t delivered = chunk.delivered;
            chunk = {};
            return {chunk_result::destination_failed, delivered, mover.buffer.first(delivered),
                    error, to.fd};
        }
        const bool partly = static_cast<std::size_t>(written) < chunk.length - chunk.delivered;
        chunk.delivered += static_cast<std::size_t>(written);
        if (partly && full_when_short) {
            // it took what fitted: another write now would only find it full
            return wait_for(awaited_end::destination);
        }
    }
    const std::size_t length = chunk.length;
    chunk = {};
    return {chunk_result::moved, length, mover.buffer.first(length)};
}

chunk_result plain_move(chunk_mover& mover, ready_ends ready) {
    if (!chunk_in_flight_now(mover)) {
        const chunk_result taken = take_into_buffer(mover, ready.source);
        if (taken.kind != chunk_result::taken) {
            return taken;
        }
    }
    return deliver_from_buffer(mover, ready.destination);
}
