#include "transfer/write_all.hpp"

#include "driver/run_state.hpp"

#include <cerrno>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

destination_kind kind_of_destination(int fd) {
    struct stat status {};
    if (fstat(fd, &status) == 0 && S_ISSOCK(status.st_mode)) {
        return destination_kind::socket;
    }
    return destination_kind::other;
}

bool write_all(int fd, const void* data, std::size_t length, destination_kind kind) {
    const auto* next = static_cast<const unsigned char*>(data);
    while (length > 0) {
        const ssize_t written = kind == destination_kind::socket
                                    ? send(fd, next, length, MSG_NOSIGNAL)
                                    : write(fd, next, length);
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

bool write_failure_is_reportable(int saved_errno) {
    return !(saved_errno == EBADF && interrupt_seen != 0);
}
