// SPDX-License-Identifier: BSD-2-Clause
#include "transfer/copy.hpp"

#include "driver/run_state.hpp"
#include "transfer/alloc.hpp"
#include "transfer/chunk_accounting.hpp"

namespace {

chunk_result copy_loop(int from_fd, int to_fd, bool with_dots) {
    const chunk_buffer buffer = alloc_chunk_buffer();
    chunk_mover mover =
        open_mover(from_fd, to_fd, {buffer.get(), static_cast<std::size_t>(buffer_size)},
                   chunks_must_be_seen(false));
    // Standard output isn't written during a copy to a socket, so SIGPIPE can be held back.
    const bool sigpipe_held = mover.to_socket && mover.kernel.method != kernel_method::none;
    if (sigpipe_held) {
        hold_back_sigpipe();
    }
    chunk_result result = move_chunk(mover);
    for (;; result = move_chunk(mover)) {
        if (result.kind == chunk_result::moved) {
            account_chunk(result.bytes, result.seen, nullptr, with_dots);
        } else if (result.kind == chunk_result::must_wait) {
            // a full pipe or socket, or an empty one, is a wait, never an end
            [[maybe_unused]] bool ready = wait_for(result.fd, result.events, -1);
        } else {
            break;
        }
    }
    if (sigpipe_held) {
        release_sigpipe();
    }
    close_mover(mover);
    return result;
}

}  // namespace

chunk_result copy_plain(int from_fd, int to_fd) {
    return copy_loop(from_fd, to_fd, false);
}

chunk_result copy_dots(int from_fd, int to_fd) {
    return copy_loop(from_fd, to_fd, true);
}
