// SPDX-License-Identifier: BSD-2-Clause
#include "transfer/move_size.hpp"

#include "state/run_state.hpp"

#include <algorithm>

bool chunks_keep_buffer_size(bool chunks_seen) {
    return chunks_seen || buffer_size_given;
}

std::size_t transfer_buffer_size(bool chunks_seen) {
    const auto asked = static_cast<std::size_t>(buffer_size);
    return chunks_keep_buffer_size(chunks_seen)
               ? asked
               : std::max({asked, unseen_file_move, unseen_summed_pipe_move,
                           unseen_file_to_tcp_move, unseen_tcp_to_file_move, unseen_relay_move});
}

move_limits unseen_move_limits(const lane_ends& ends) {
    const auto asked = static_cast<std::size_t>(buffer_size);
    if (ends.into_file) {
        // Out of a TCP connection, reading and writing measured faster into a file than
        // splicing; out of a UNIX-domain one, slower (bench/README.md has the figures).
        return ends.from_tcp
                   ? move_limits{asked, unseen_tcp_to_file_move, move_route::through_program}
                   : move_limits{unseen_file_move, unseen_file_move,
                                 move_route::kernel_when_it_can};
    }
    if (ends.from_file && ends.into_connection) {
        // Pages that the kernel sends from a file unread make a loopback receiver that copies
        // them (into a pipe, say) slower than bytes written by the sender.
        return ends.into_tcp
                   ? move_limits{asked, unseen_file_to_tcp_move, move_route::through_program}
                   : move_limits{asked, asked, move_route::read_then_kernel};
    }
    if (ends.bytes_needed && ends.from_connection && !ends.from_tcp && ends.into_pipe) {
        // With --sum, a UNIX-domain receiver into a pipe reads and writes (the kernel has no
        // path there when the bytes must be seen), in moves that measured faster than 64 KiB.
        return {asked, unseen_summed_pipe_move, move_route::through_program};
    }
    if (ends.from_connection && ends.into_connection) {
        return {asked, unseen_relay_move, move_route::through_program};
    }
    return {asked, asked, move_route::kernel_when_it_can};
}
