// SPDX-License-Identifier: BSD-2-Clause
#pragma once

// Closes a connection without lingering: what is still queued goes out after the close, and
// the close itself never waits (a listener's accepted sockets would otherwise inherit its
// lingering).
void close_plainly(int fd);

// Closes a connection with a reset: its peer's writes fail and its reads see the stream cut,
// instead of a plain end of data that it could take for a complete transfer.
void close_with_reset(int fd);

// Prepares a connection for a transfer: non-blocking, so that no call on it can keep the
// transfer from its one wait, and with urgent bytes kept in the stream, where a byte
// stream's every byte belongs.
void prepare_connection(int fd);
