// SPDX-License-Identifier: BSD-2-Clause
// Two-way transfer between a near side and a far side, and the echo log's data records.
#pragma once

#include "transfer/transfer_loop.hpp"

// Copies what becomes readable on near_in to the `far` connection (echo label "L: ") and what
// becomes readable on `far` to near_out (echo label "H: "), one chunk at a time. Between two
// connections (a relay) each direction ends on its own: a peer's end of data goes on to the
// other peer as a half-close, and the transfer lasts until both have ended and every byte is
// acknowledged. Between the standard streams and a connection, standard input's end goes on
// as a half-close (a terminal's Ctrl-D ends the transfer instead); the connection's end closes
// standard output, and standard input (not a terminal) still goes on to the peer until it
// ends. A failure, an interrupt or --timeout ends it at once.
[[nodiscard]] transfer_end relay_loop(transfer_side near_in, transfer_side near_out,
                                      transfer_side far);
