// SPDX-License-Identifier: BSD-2-Clause
// Two-way relay between a near side and a far side, and the echo log's data records.
#pragma once

#include "transfer/chunk_mover.hpp"

// select can't hold a descriptor at or above FD_SETSIZE; putting one into a set would write
// past it. Reports such a descriptor and returns false.
[[nodiscard]] bool fits_in_select_set(int fd);

// Copies what becomes readable on near_in to far_out (echo label "L: ") and what becomes
// readable on far_in to near_out (echo label "H: "), one chunk at a time, until either side
// ends or fails, a wait fails, or the transfer stays idle past --timeout (a wait for a
// destination that takes nothing counts as idle too). Returns what ended it: source_ended
// (with the descriptor whose data ended, or -1 after the "timeout" or "select" line), or
// the failure of one side's source or destination.
[[nodiscard]] chunk_result relay_loop(int near_in, int far_in, int near_out, int far_out);
