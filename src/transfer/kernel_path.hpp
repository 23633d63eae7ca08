// SPDX-License-Identifier: BSD-2-Clause
// Moving chunks inside the kernel (Linux: sendfile, splice). A chunk is still at most a
// buffer's size and is counted as one. Where the program must see the bytes (the checksum,
// the echo log), chunks go by read and write, but for a regular file sent into a connection:
// each chunk is read, then sent from the file by its offset. Systems without these calls
// build kernel_path_none.cpp, and every chunk goes by read and write.
#pragma once

#include "transfer/chunk.hpp"

// The kernel's method for this pair, or kernel_method::none.
[[nodiscard]] kernel_channel open_kernel_channel(const chunk_mover& mover);

// Delivers the chunk in flight, if any; otherwise takes the next one the kernel's way and
// delivers it. Where the kernel can't carry a chunk, the plain route takes it over at once.
[[nodiscard]] chunk_result kernel_move(chunk_mover& mover, ready_ends ready);

void close_kernel_channel(kernel_channel& channel);

// sendfile and splice can't be told not to raise SIGPIPE when a socket's peer has gone.
// While they write to sockets, SIGPIPE is held back; afterwards one raised meanwhile is
// discarded and the signal released, so a peer that has gone is a failed write, and a pipe on
// standard output still ends the process by SIGPIPE. Where there are no kernel paths
// (kernel_path_none.cpp) these do nothing: every socket write is a send that keeps SIGPIPE off
// by itself (platform.hpp's send_without_sigpipe).
void hold_back_sigpipe();
void release_sigpipe();
