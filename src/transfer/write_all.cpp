// SPDX-License-Identifier: BSD-2-Clause
#include "transfer/write_all.hpp"

#include <cerrno>
#include <unistd.h>

bool write_all(int fd, const void* data, std::size_t length) {
    const auto* next = static_cast<const unsigned char*>(data);
    while (length > 0) {
        const ssize_t written = write(fd, next, length);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        next += written;
        length -= static_cast<std::size_t>(written);
    }
    return true;
}
