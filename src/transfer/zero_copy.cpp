#include "transfer/zero_copy.hpp"

#include "transfer/write_all.hpp"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

mode_t file_type(int fd) {
    struct stat status {};
    return fstat(fd, &status) == 0 ? (status.st_mode & S_IFMT) : 0;
}

bool refused(int error) {
    return error == EINVAL || error == ENOSYS || error == EOPNOTSUPP;
}

chunk_move failed_write(int error) {
    return {chunk_move::write_failed, 0, error};
}

chunk_move by_sendfile(zero_copy_channel& channel, int from_fd, int to_fd, std::size_t limit) {
    const ssize_t n = sendfile(to_fd, from_fd, nullptr, limit);
    if (n > 0) {
        return {chunk_move::moved, n, 0};
    }
    if (n == 0) {
        return {chunk_move::source_ended};
    }
    if (!channel.proven && refused(errno)) {
        return {chunk_move::unsupported};
    }
    return failed_write(errno);
}

// One side is a pipe. Errors belong to the side that isn't the pipe we read from: a failed
// read of a socket ends the copy quietly, a failed write is reported.
chunk_move by_direct_splice(zero_copy_channel& channel, int from_fd, int to_fd,
                            std::size_t limit) {
    const ssize_t n = splice(from_fd, nullptr, to_fd, nullptr, limit, SPLICE_F_MOVE);
    if (n > 0) {
        return {chunk_move::moved, n, 0};
    }
    if (n == 0) {
        return {chunk_move::source_ended};
    }
    if (!channel.proven && refused(errno)) {
        return {chunk_move::unsupported};
    }
    const bool source_is_pipe = file_type(from_fd) == S_IFIFO;
    if (!source_is_pipe && errno != EPIPE) {
        return {chunk_move::source_ended};
    }
    return failed_write(errno);
}

// The destination refused the pipe's pages: hand the chunk over by read and write.
chunk_move drain_by_copy(zero_copy_channel& channel, int to_fd, ssize_t n,
                         unsigned char* buffer) {
    ssize_t taken = 0;
    while (taken < n) {
        const ssize_t got = read(channel.pipe_read, buffer + taken, static_cast<std::size_t>(n - taken));
        if (got <= 0) {
            return failed_write(errno);
        }
        taken += got;
    }
    if (!write_all(to_fd, buffer, static_cast<std::size_t>(n), kind_of_destination(to_fd))) {
        return failed_write(errno);
    }
    return {chunk_move::moved, n, 0};
}

chunk_move by_splice_via_pipe(zero_copy_channel& channel, int from_fd, int to_fd,
                              std::size_t limit, unsigned char* buffer) {
    const ssize_t n = splice(from_fd, nullptr, channel.pipe_write, nullptr, limit, SPLICE_F_MOVE);
    if (n == 0) {
        return {chunk_move::source_ended};
    }
    if (n < 0) {
        if (!channel.proven && refused(errno)) {
            return {chunk_move::unsupported};
        }
        return {chunk_move::source_ended};
    }
    ssize_t left = n;
    while (left > 0) {
        const ssize_t out =
            splice(channel.pipe_read, nullptr, to_fd, nullptr, static_cast<std::size_t>(left),
                   SPLICE_F_MOVE);
        if (out < 0) {
            if (errno == EINTR) {
                continue;
            }
            if (!channel.proven && left == n && refused(errno)) {
                channel.refused_by_destination = true;
                return drain_by_copy(channel, to_fd, n, buffer);
            }
            return failed_write(errno);
        }
        left -= out;
    }
    return {chunk_move::moved, n, 0};
}

} // namespace

std::optional<zero_copy_channel> open_zero_copy(int from_fd, int to_fd, std::size_t chunk_size) {
    const mode_t from = file_type(from_fd);
    const mode_t to = file_type(to_fd);
    if (from == S_IFREG && to == S_IFSOCK) {
        return zero_copy_channel{zero_copy_method::sendfile_from_file};
    }
    if (from == S_IFIFO || to == S_IFIFO) {
        return zero_copy_channel{zero_copy_method::splice_direct};
    }
    if (from != S_IFSOCK) {
        return std::nullopt;  // a terminal, say: only read serves
    }
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) {
        return std::nullopt;
    }
    // A chunk of socket data can take a pipe slot for every small fragment it arrived in, so
    // the pipe gets room for four chunks: a splice then stops at buffer_size, not at the
    // pipe's slot count. Refusal only makes chunks smaller.
    fcntl(ends[1], F_SETPIPE_SZ, static_cast<int>(chunk_size < (1 << 20) ? chunk_size * 4 : chunk_size));
    return zero_copy_channel{zero_copy_method::splice_via_pipe, ends[0], ends[1]};
}

chunk_move move_chunk(zero_copy_channel& channel, int from_fd, int to_fd, std::size_t limit,
                      unsigned char* buffer) {
    chunk_move result{chunk_move::unsupported};
    if (channel.refused_by_destination) {
        return result;
    }
    switch (channel.method) {
    case zero_copy_method::sendfile_from_file:
        result = by_sendfile(channel, from_fd, to_fd, limit);
        break;
    case zero_copy_method::splice_direct:
        result = by_direct_splice(channel, from_fd, to_fd, limit);
        break;
    case zero_copy_method::splice_via_pipe:
        result = by_splice_via_pipe(channel, from_fd, to_fd, limit, buffer);
        break;
    }
    if (result.outcome == chunk_move::moved) {
        channel.proven = true;
    }
    return result;
}

void close_zero_copy(zero_copy_channel& channel) {
    if (channel.pipe_read >= 0) {
        close(channel.pipe_read);
        close(channel.pipe_write);
        channel.pipe_read = channel.pipe_write = -1;
    }
}

namespace {

sigset_t sigpipe_set() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGPIPE);
    return set;
}

} // namespace

void block_sigpipe() {
    const sigset_t set = sigpipe_set();
    sigprocmask(SIG_BLOCK, &set, nullptr);
}

void discard_sigpipe_and_unblock() {
    const sigset_t set = sigpipe_set();
    const timespec no_wait{};
    while (sigtimedwait(&set, nullptr, &no_wait) > 0) {
    }
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
}
