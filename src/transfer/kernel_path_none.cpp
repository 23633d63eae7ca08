// SPDX-License-Identifier: BSD-2-Clause
// The kernel path of systems without Linux's sendfile and splice: every chunk goes by read
// and write.
#include "transfer/kernel_path.hpp"

#include "transfer/chunk_mover.hpp"
#include "transfer/plain_path.hpp"

kernel_channel open_kernel_channel(int /*from_fd*/, int /*to_fd*/, std::size_t /*chunk_size*/,
                                   bool /*needs_bytes*/) {
    return {};
}

chunk_result kernel_move(chunk_mover& mover) {
    return plain_move(mover);
}

void close_kernel_channel(kernel_channel& /*channel*/) {}

void hold_back_sigpipe() {}

void release_sigpipe() {}
