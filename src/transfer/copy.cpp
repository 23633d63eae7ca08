// SPDX-License-Identifier: BSD-2-Clause
#include "transfer/copy.hpp"

#include "state/alloc.hpp"
#include "state/run_state.hpp"
#include "transfer/chunk_accounting.hpp"
#include "transfer/kernel_path.hpp"
#include "transfer/move_size.hpp"

#include <cerrno>

namespace {

// Runs the lanes under the idle policy, which gives a one-way copy no limit.
transfer_end run_one_way(std::span<lane> lanes) {
    idle_limit limit;
    if (!idle_limit_of_transfer(limit)) {
        return {transfer_end::wait_failed, errno};
    }
    return run_lanes(lanes, limit);
}

transfer_end copy_loop(transfer_side from, transfer_side to, bool with_dots) {
    // the dots show the chunks
    const std::size_t size = transfer_buffer_size(with_dots);
    const chunk_buffer buffer = alloc_chunk_buffer(size);
    lane one_way = open_lane(from, to, {buffer.get(), size}, chunks_must_be_seen(false), nullptr,
                             with_dots, with_dots);
    // Standard output isn't written during a copy to a socket, so SIGPIPE can be held back.
    const bool sigpipe_held = one_way.mover.destination.kind == stream_kind::own_socket &&
                              one_way.mover.kernel.method != kernel_method::none;
    if (sigpipe_held) {
        hold_back_sigpipe();
    }
    const transfer_end end = run_one_way({&one_way, 1});
    if (sigpipe_held) {
        release_sigpipe();
    }
    close_mover(one_way.mover);
    return end;
}

}  // namespace

transfer_end copy_plain(transfer_side from, transfer_side to) {
    return copy_loop(from, to, false);
}

transfer_end copy_dots(transfer_side from, transfer_side to) {
    return copy_loop(from, to, true);
}

transfer_end finish_sending(int fd) {
    lane closing = closing_lane(fd, {.ends_transfer = false, .passed_on = true, .lingers = true});
    return run_one_way({&closing, 1});
}
