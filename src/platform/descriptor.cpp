// SPDX-License-Identifier: BSD-2-Clause
#include "platform/descriptor.hpp"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>

descriptor_type type_of_descriptor(int fd) {
    struct stat status {};
    if (fstat(fd, &status) != 0) {
        return descriptor_type::unknown;
    }
    switch (status.st_mode & S_IFMT) {
    case S_IFREG: return descriptor_type::regular_file;
    case S_IFSOCK: return descriptor_type::socket;
    case S_IFIFO: return descriptor_type::pipe;
    case S_IFCHR: return descriptor_type::character_device;
    default: return descriptor_type::other;
    }
}

int access_mode_of(int fd) {
    const int flags = fcntl(fd, F_GETFL);
    return flags < 0 ? -1 : flags & O_ACCMODE;
}

int pending_socket_error(int fd) {
    int error = 0;
    socklen_t length = sizeof error;
    return getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 ? error : 0;
}
