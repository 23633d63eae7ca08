// SPDX-License-Identifier: BSD-2-Clause
#include "transfer/move_size.hpp"

#include "state/run_state.hpp"

bool chunks_keep_buffer_size(bool chunks_seen) {
    return chunks_seen || buffer_size_given;
}

std::size_t transfer_buffer_size(bool chunks_seen) {
    return chunks_keep_buffer_size(chunks_seen) ? static_cast<std::size_t>(buffer_size)
                                                : unseen_kernel_move;
}
