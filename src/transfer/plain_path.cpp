// SPDX-License-Identifier: BSD-2-Clause
#include "transfer/plain_path.hpp"

#include "platform/platform.hpp"
#include "transfer/chunk_mover.hpp"

#include <cerrno>
#include <poll.h>
#include <unistd.h>

namespace {

ssize_t write_some(const chunk_mover& mover, const unsigned char* data, std::size_t length) {
    if (mover.to_socket) {
        return send_without_sigpipe(mover.to_fd, data, length, mover.writes_never_block);
    }
    if (mover.writes_never_block) {
        pollfd room{mover.to_fd, POLLOUT, 0};
        if (poll(&room, 1, 0) == 0) {
            errno = EAGAIN;
            return -1;
        }
    }
    return write(mover.to_fd, data, length);
}

bool is_full(int error) {
    return error == EAGAIN || error == EWOULDBLOCK;
}

}  // namespace

chunk_result deliver_from_buffer(chunk_mover& mover) {
    while (mover.pending_delivered < mover.pending_length) {
        const ssize_t written = write_some(mover, mover.buffer.data() + mover.pending_delivered,
                                           mover.pending_length - mover.pending_delivered);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written < 0 && is_full(errno)) {
            return {chunk_result::must_wait, 0, {}, 0, mover.to_fd, POLLOUT};
        }
        if (written <= 0) {
            const int error = written < 0 ? errno : EIO;
            mover.pending_length = 0;
            return {chunk_result::destination_failed, 0, {}, error, mover.to_fd};
        }
        mover.pending_delivered += static_cast<std::size_t>(written);
    }
    const std::size_t length = mover.pending_length;
    mover.pending_length = 0;
    mover.pending_delivered = 0;
    return {chunk_result::moved, length, mover.buffer.first(length)};
}

chunk_result plain_move(chunk_mover& mover) {
    if (mover.pending_length > 0) {
        return deliver_from_buffer(mover);
    }
    for (;;) {
        const ssize_t n = read(mover.from_fd, mover.buffer.data(), mover.buffer.size());
        if (n > 0) {
            mover.pending_length = static_cast<std::size_t>(n);
            mover.pending_delivered = 0;
            return deliver_from_buffer(mover);
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
