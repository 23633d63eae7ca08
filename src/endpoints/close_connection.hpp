// SPDX-License-Identifier: BSD-2-Clause
#pragma once

enum class connection_close {
    // Closing a TCP socket that still holds unread input makes the kernel send a reset, and
    // the reset discards whatever of our output the peer has not acknowledged yet. So the
    // write side is shut down first (the peer gets its end of data after the queued bytes),
    // pending input is discarded, and the close waits while the peer keeps acknowledging;
    // after 5 seconds in which nothing moved it gives up and resets the connection.
    orderly,
    // After a failure that lost data: the peer's writes fail and its reads see the stream
    // cut, instead of a plain end of data that it could take for a complete transfer.
    reset,
};

// Closes a data socket; nothing when `fd` is -1.
void close_connection(int fd, connection_close how);

// Closes a socket at once, without waiting for its queued data (the interrupt handler's
// close: the user asked the run to stop). Async-signal-safe.
void close_without_lingering(int fd);
