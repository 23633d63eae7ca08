// SPDX-License-Identifier: BSD-2-Clause
// Where the system can't count a socket's unacknowledged bytes (the portable build on
// Linux, and any POSIX system without such a count), the close can't see them.
#include "platform/platform.hpp"

int unacknowledged_bytes(int /*fd*/) {
    return -1;
}
