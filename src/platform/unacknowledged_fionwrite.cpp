// SPDX-License-Identifier: BSD-2-Clause
// The BSDs count a socket's unsent and unacknowledged bytes with the FIONWRITE ioctl.
//
// FIONWRITE is the byte count of the send buffer, which keeps every byte until the peer
// acknowledges it. What it can't tell:
// - Our end of data is a flag of the connection, never a byte of the buffer: nothing is
//   taken off the count once we are shut down.
// - A reset flushes the buffer: the count then says 0, as it would once every byte was
//   acknowledged. The bytes that the reset threw away are counted as delivered in the
//   summary, and a reset that came after the end of data reached the peer's system looks
//   like an acknowledgement; the reset's own error, which the transfer reads first, is what
//   tells the two apart.
// - On a UNIX-domain socket the bytes go straight to the peer's receive buffer: the count is
//   0 at once, and says nothing of whether the peer's program has read them.
#include "platform/platform.hpp"

#include <sys/filio.h>
#include <sys/ioctl.h>

bool unacknowledged_count_holds_end_of_data() {
    return false;
}

int unacknowledged_bytes(int fd) {
    int queued = 0;
    return ioctl(fd, FIONWRITE, &queued) == 0 ? queued : -1;
}
