// SPDX-License-Identifier: BSD-2-Clause
#include "transfer/chunk_mover.hpp"

#include "driver/run_state.hpp"
#include "transfer/plain_path.hpp"

#include <cerrno>
#include <poll.h>
#include <sys/stat.h>

chunk_mover open_mover(int from_fd, int to_fd, std::span<unsigned char> buffer, bool needs_bytes) {
    chunk_mover mover{};
    mover.from_fd = from_fd;
    mover.to_fd = to_fd;
    mover.buffer = buffer;
    mover.to_socket = is_socket(to_fd);
    mover.kernel = open_kernel_channel(from_fd, to_fd, buffer.size(), needs_bytes);
    return mover;
}

chunk_result move_chunk(chunk_mover& mover) {
    if (mover.kernel.method != kernel_method::none) {
        return kernel_move(mover);
    }
    return plain_move(mover);
}

void close_mover(chunk_mover& mover) {
    close_kernel_channel(mover.kernel);
}

bool wait_for(int fd, short events, int timeout_ms) {
    pollfd watched{fd, events, 0};
    for (;;) {
        const int ready = poll(&watched, 1, timeout_ms);
        if (ready < 0 && errno == EINTR) {
            // an interrupt closed the descriptor, or some other signal came: look again
            continue;
        }
        // Readiness, a hang-up, an error or a closed descriptor: the next move tells which.
        return ready != 0;
    }
}

bool is_socket(int fd) {
    struct stat status {};
    return fstat(fd, &status) == 0 && S_ISSOCK(status.st_mode);
}

bool failed_by_interrupt(int error) {
    return error == EBADF && interrupt_seen != 0;
}
