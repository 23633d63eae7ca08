// SPDX-License-Identifier: BSD-2-Clause
// How a relay closes its two connections once the transfer between them has ended. The peer
// whose end of data ended the transfer is told last: its stream is complete only once the
// other peer, still open, has everything and has had its moment to end or to reset, as a
// one-way sender gives its receiver. A failure of that close is passed on to the other
// connection as a reset, so that each peer learns what it would have learnt connected
// directly.
#pragma once

#include "transfer/connection_end.hpp"

struct relay_close_end {
    close_end first;   // the close of the connection still open when the transfer ended
    close_end second;  // the other one's; `cut` when the first failed
    bool cut;          // the second connection was reset to pass the first's failure on
    int first_fd;      // which connection each was, for the driver's accounting
    int second_fd;
};

// Closes `near_fd` (the accepted peer) and `far_fd` (the onward connection). `ended_fd`: the
// connection whose end of data ended the transfer, or -1 when something else ended it (an
// idle timeout, say): the onward connection is then closed first, without the moment.
[[nodiscard]] relay_close_end close_relay(int near_fd, int far_fd, int ended_fd,
                                          const close_terms& terms);
