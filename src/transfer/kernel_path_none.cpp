// SPDX-License-Identifier: BSD-2-Clause
// The kernel path of systems without Linux's sendfile and splice: every chunk goes by read
// and write.
#include "transfer/kernel_path.hpp"

#include "transfer/chunk_mover.hpp"

kernel_channel open_kernel_channel(const chunk_mover& /*mover*/) {
    return {};
}

chunk_result kernel_move(chunk_mover& /*mover*/) {
    return {chunk_result::plain_from_now_on};
}

void close_kernel_channel(kernel_channel& channel) {
    channel.method = kernel_method::none;
}

void hold_back_sigpipe() {}

void release_sigpipe() {}
