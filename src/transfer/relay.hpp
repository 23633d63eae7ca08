// SPDX-License-Identifier: BSD-2-Clause
// Two-way relay between a near side and a far side, and the echo log's data records.
#pragma once

#include "transfer/transfer_loop.hpp"

// Copies what becomes readable on near_in to far_out (echo label "L: ") and what becomes
// readable on far_in to near_out (echo label "H: "), one chunk at a time, until either side
// ends or fails, the run is interrupted, the wait fails, or the transfer stays idle past
// --timeout ("timeout"): a wait for a destination that takes nothing counts as idle too. An
// interrupt and a failed wait print the line the program has always printed for its wait,
// "select: ..." (the interrupt's "Bad file descriptor": it closed what the wait watched),
// although the wait is a poll.
[[nodiscard]] transfer_end relay_loop(int near_in, int far_in, int near_out, int far_out);
