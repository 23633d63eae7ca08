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
               : std::max({asked, unseen_file_move, unseen_relay_move});
}

move_limits unseen_move_limits(bool into_file, bool between_connections) {
    const auto asked = static_cast<std::size_t>(buffer_size);
    if (into_file) {
        return {unseen_file_move, unseen_file_move};
    }
    return {between_connections ? unseen_relay_move : asked, asked};
}
