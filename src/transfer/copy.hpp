// SPDX-License-Identifier: BSD-2-Clause
// One-way copy from one descriptor to another, chunk by chunk, until the source ends.
#pragma once

#include "transfer/transfer_loop.hpp"

// Returns how the copy ended: its source's end (completed), a failure of either side, or an
// interrupt. The destination connection stays open: several files may go through it.
// An empty source or a full destination is waited for, for as long as it takes.
using copy_fn_type = transfer_end (*)(transfer_side from, transfer_side to);

[[nodiscard]] transfer_end copy_plain(transfer_side from, transfer_side to);
// As copy_plain, plus one "." on standard error per chunk.
[[nodiscard]] transfer_end copy_dots(transfer_side from, transfer_side to);

// The end of a one-way sender's stream: the end of data goes to the connection `fd` after
// every chunk, the peer acknowledges every byte and then has a moment to end or to reset
// (a receiver that fails on its first write of what it got resets right after its system
// acknowledged it). Returns completed, a failure (`fd` reset), or an interrupt.
[[nodiscard]] transfer_end finish_sending(int fd);
