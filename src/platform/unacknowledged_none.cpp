// SPDX-License-Identifier: BSD-2-Clause
// Where the system can't count a socket's unacknowledged bytes (the portable build on
// Linux, and any POSIX system without such a count), the close can't see them.
#include "platform/platform.hpp"

// Nothing is counted, so nothing is ever taken off: the summary counts every byte written,
// whether or not a reset threw it away after.
bool unacknowledged_count_holds_end_of_data() {
    return false;
}

int unacknowledged_bytes(int /*fd*/) {
    return -1;
}
