// SPDX-License-Identifier: BSD-2-Clause
// The kernel path of systems without Linux's sendfile and splice: every chunk goes by read
// and write.
#include "transfer/kernel_path.hpp"

#include "transfer/chunk.hpp"
#include "transfer/plain_path.hpp"

kernel_channel open_kernel_channel(const chunk_mover& /*mover*/) {
    return {};
}

chunk_result kernel_move(chunk_mover& mover, ready_ends ready) {
    return plain_move(mover, ready);
}

void close_kernel_channel(kernel_channel& channel) {
    channel.method = kernel_method::none;
}

void hold_back_sigpipe() {}

void release_sigpipe() {}
