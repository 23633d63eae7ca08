// SPDX-License-Identifier: BSD-2-Clause
// macOS counts a socket's unsent and unacknowledged bytes with the SO_NWRITE option.
//
// SO_NWRITE is the byte count of the send buffer, which keeps every byte until the peer
// acknowledges it. What it can't tell:
// - Our end of data is a flag of the connection, never a byte of the buffer: nothing is
//   taken off the count once we are shut down.
// - A reset flushes the buffer: the count then says 0, as it would once every byte was
//   acknowledged. The bytes that the reset threw away are counted as delivered in the
//   summary; the reset's own error, which the transfer reads first, is what tells a reset
//   from an acknowledgement.
// - On a UNIX-domain socket the bytes go straight to the peer's receive buffer: the count is
//   0 at once, and says nothing of whether the peer's program has read them.
#include "platform/platform.hpp"

#include <sys/socket.h>

bool unacknowledged_count_holds_end_of_data() {
    return false;
}

int unacknowledged_bytes(int fd) {
    int queued = 0;
    socklen_t length = sizeof queued;
    return getsockopt(fd, SOL_SOCKET, SO_NWRITE, &queued, &length) == 0 ? queued : -1;
}
