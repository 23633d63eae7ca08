// SPDX-License-Identifier: BSD-2-Clause
// The BSDs count a socket's unsent and unacknowledged bytes with the FIONWRITE ioctl.
#include "platform/platform.hpp"

#include <sys/filio.h>
#include <sys/ioctl.h>

int unacknowledged_bytes(int fd) {
    int queued = 0;
    return ioctl(fd, FIONWRITE, &queued) == 0 ? queued : -1;
}
