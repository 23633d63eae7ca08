#include "transfer/zero_copy.hpp"

#include "transfer/write_all.hpp"

#include <algorithm>
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

// What one call that moves a chunk from source to destination came to, unless it failed in a
// way its caller has to judge: moved bytes, the end of the source, or a pair the kernel
// refuses before anything moved.
std::optional<chunk_move> settled(const zero_copy_channel& channel, ssize_t n) {
    if (n > 0) {
        return chunk_move{chunk_move::moved, n, 0};
    }
    if (n == 0) {
        return chunk_move{chunk_move::source_ended};
    }
    if (!channel.proven && refused(errno)) {
        return chunk_move{chunk_move::unsupported};
    }
    return std::nullopt;
}

// Reads the chunk into `buffer` for the inspector (which moves the file position on, as
// read does), then sends the same bytes from the file by their offset.
chunk_move by_inspected_sendfile(zero_copy_channel& channel, int from_fd, int to_fd,
                                 std::size_t limit, unsigned char* buffer) {
    const ssize_t n = read(from_fd, buffer, limit);
    if (n <= 0) {
        return {chunk_move::source_ended};
    }
    channel.inspect(buffer, static_cast<std::size_t>(n));
    off_t offset = lseek(from_fd, 0, SEEK_CUR) - n;
    ssize_t left = n;
    while (left > 0) {
        const ssize_t sent = sendfile(to_fd, from_fd, &offset, static_cast<std::size_t>(left));
        if (sent < 0 && errno == EINTR) {
            continue;
        }
        if (sent < 0 && !channel.proven && left == n && refused(errno)) {
            channel.refused_by_destination = true;
            if (!write_all(to_fd, buffer, static_cast<std::size_t>(n),
                           kind_of_destination(to_fd))) {
                return failed_write(errno);
            }
            return {chunk_move::moved, n, 0};
        }
        if (sent <= 0) {
            return failed_write(sent < 0 ? errno : EPIPE);
        }
        left -= sent;
    }
    return {chunk_move::moved, n, 0};
}

chunk_move by_sendfile(zero_copy_channel& channel, int from_fd, int to_fd, std::size_t limit,
                       unsigned char* buffer) {
    if (channel.inspect != nullptr) {
        return by_inspected_sendfile(channel, from_fd, to_fd, limit, buffer);
    }
    const ssize_t n = sendfile(to_fd, from_fd, nullptr, limit);
    if (const auto outcome = settled(channel, n)) {
        return *outcome;
    }
    return failed_write(errno);
}

// One side is a pipe. Errors belong to the side that isn't the pipe we read from: a failed
// read of a socket ends the copy quietly, a failed write is reported.
chunk_move by_direct_splice(zero_copy_channel& channel, int from_fd, int to_fd, std::size_t limit) {
    const ssize_t n = splice(from_fd, nullptr, to_fd, nullptr, limit, SPLICE_F_MOVE);
    if (const auto outcome = settled(channel, n)) {
        return *outcome;
    }
    const bool source_is_pipe = file_type(from_fd) == S_IFIFO;
    if (!source_is_pipe && errno != EPIPE) {
        return {chunk_move::source_ended};
    }
    return failed_write(errno);
}

// Reads `n` bytes out of a pipe into `scratch` and drops them.
void discard(int pipe_read, ssize_t n, unsigned char* scratch) {
    while (n > 0) {
        const ssize_t got = read(pipe_read, scratch, static_cast<std::size_t>(n));
        if (got <= 0) {
            return;
        }
        n -= got;
    }
}

// The destination refused the pipe's pages, or the chunk could not be shown through a tee:
// hand the chunk waiting in the pipe over by read and write, showing it to the inspector on
// the way unless it has seen it already.
chunk_move drain_by_copy(zero_copy_channel& channel, int to_fd, ssize_t n, unsigned char* buffer,
                         bool already_inspected) {
    channel.refused_by_destination = true;
    ssize_t taken = 0;
    while (taken < n) {
        const ssize_t got =
            read(channel.pipe_read, buffer + taken, static_cast<std::size_t>(n - taken));
        if (got <= 0) {
            return failed_write(got < 0 ? errno : EIO);  // our own pipe lost the chunk
        }
        taken += got;
    }
    if (channel.inspect != nullptr && !already_inspected) {
        channel.inspect(buffer, static_cast<std::size_t>(n));
    }
    if (!write_all(to_fd, buffer, static_cast<std::size_t>(n), kind_of_destination(to_fd))) {
        return failed_write(errno);
    }
    return {chunk_move::moved, n, 0};
}

// Copies the chunk waiting in the pipe into `buffer` through a tee, leaving it in the pipe
// for the splice out, and shows it to the inspector. False when the tee fails; the chunk is
// then still whole in the pipe.
bool show_chunk(zero_copy_channel& channel, ssize_t n, unsigned char* buffer) {
    const ssize_t copied =
        tee(channel.pipe_read, channel.copy_write, static_cast<std::size_t>(n), 0);
    if (copied != n) {
        if (copied > 0) {
            discard(channel.copy_read, copied, buffer);
        }
        return false;
    }
    ssize_t taken = 0;
    while (taken < n) {
        const ssize_t got =
            read(channel.copy_read, buffer + taken, static_cast<std::size_t>(n - taken));
        if (got <= 0) {
            return false;
        }
        taken += got;
    }
    channel.inspect(buffer, static_cast<std::size_t>(n));
    return true;
}

chunk_move by_splice_via_pipe(zero_copy_channel& channel, int from_fd, int to_fd, std::size_t limit,
                              unsigned char* buffer) {
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
    if (channel.inspect != nullptr && !show_chunk(channel, n, buffer)) {
        return drain_by_copy(channel, to_fd, n, buffer, false);
    }
    ssize_t left = n;
    while (left > 0) {
        const ssize_t out = splice(channel.pipe_read, nullptr, to_fd, nullptr,
                                   static_cast<std::size_t>(left), SPLICE_F_MOVE);
        if (out < 0) {
            if (errno == EINTR) {
                continue;
            }
            if (!channel.proven && left == n && refused(errno)) {
                return drain_by_copy(channel, to_fd, n, buffer, channel.inspect != nullptr);
            }
            return failed_write(errno);
        }
        left -= out;
    }
    return {chunk_move::moved, n, 0};
}

bool open_pipe(int* read_end, int* write_end, std::size_t chunk_size) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) {
        return false;
    }
    // A chunk of socket data can take a pipe slot for every small fragment it arrived in, so
    // the pipe gets room for four chunks: a splice then stops at buffer_size, not at the
    // pipe's slot count. Past 1 MiB (what an unprivileged process may ask for) a chunk is
    // simply smaller, as it is when the kernel refuses.
    const std::size_t room = std::min<std::size_t>(chunk_size * 4, std::size_t{1} << 20);
    fcntl(ends[1], F_SETPIPE_SZ, static_cast<int>(room));
    *read_end = ends[0];
    *write_end = ends[1];
    return true;
}

}  // namespace

std::optional<zero_copy_channel> open_zero_copy(int from_fd, int to_fd, std::size_t chunk_size,
                                                chunk_inspector inspect) {
    const mode_t from = file_type(from_fd);
    const mode_t to = file_type(to_fd);
    if (from == S_IFREG && to == S_IFSOCK) {
        return zero_copy_channel{zero_copy_method::sendfile_from_file, -1, -1, inspect};
    }
    if (inspect == nullptr && (from == S_IFIFO || to == S_IFIFO)) {
        return zero_copy_channel{zero_copy_method::splice_direct};
    }
    if (from != S_IFSOCK) {
        return std::nullopt;  // a terminal, say, or a pipe whose bytes must be seen
    }
    zero_copy_channel channel{zero_copy_method::splice_via_pipe, -1, -1, inspect};
    if (!open_pipe(&channel.pipe_read, &channel.pipe_write, chunk_size)) {
        return std::nullopt;
    }
    if (inspect != nullptr && !open_pipe(&channel.copy_read, &channel.copy_write, chunk_size)) {
        close_zero_copy(channel);
        return std::nullopt;
    }
    return channel;
}

chunk_move move_chunk(zero_copy_channel& channel, int from_fd, int to_fd, std::size_t limit,
                      unsigned char* buffer) {
    chunk_move result{chunk_move::unsupported};
    if (channel.refused_by_destination) {
        return result;
    }
    switch (channel.method) {
    case zero_copy_method::sendfile_from_file:
        result = by_sendfile(channel, from_fd, to_fd, limit, buffer);
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
    for (int* fd :
         {&channel.pipe_read, &channel.pipe_write, &channel.copy_read, &channel.copy_write}) {
        if (*fd >= 0) {
            close(*fd);
            *fd = -1;
        }
    }
}

namespace {

sigset_t sigpipe_set() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGPIPE);
    return set;
}

}  // namespace

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
