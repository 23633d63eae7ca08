// SPDX-License-Identifier: BSD-2-Clause
#include "transfer/kernel_path.hpp"

#include "transfer/chunk_mover.hpp"
#include "transfer/plain_path.hpp"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

mode_t file_type(int fd) {
    struct stat status {};
    return fstat(fd, &status) == 0 ? (status.st_mode & S_IFMT) : 0;
}

// The kernel refuses this pair of descriptors (an appending file, say).
bool refused(int error) {
    return error == EINVAL || error == ENOSYS || error == EOPNOTSUPP;
}

bool is_full(int error) {
    return error == EAGAIN || error == EWOULDBLOCK;
}

chunk_result must_wait(int fd, short events) {
    return {chunk_result::must_wait, 0, {}, 0, fd, events};
}

chunk_result failed(chunk_result::kind_type kind, int error, int fd) {
    return {kind, 0, {}, error, fd};
}

// The mover goes over to read and write for good. Called only where nothing of the current
// chunk is held by the kernel path.
chunk_result go_plain(chunk_mover& mover) {
    close_kernel_channel(mover.kernel);
    return plain_move(mover);
}

// The chunk is complete; what the program saw of it goes with it.
chunk_result chunk_done(chunk_mover& mover) {
    const std::size_t length = mover.pending_length;
    mover.pending_length = 0;
    mover.pending_delivered = 0;
    mover.kernel.pair_supported = true;
    const bool seen = mover.kernel.needs_bytes;
    return {chunk_result::moved, length,
            seen ? mover.buffer.first(length) : std::span<const unsigned char>{}};
}

// Reads exactly `length` bytes from one of our own pipes.
bool read_from_own_pipe(int fd, unsigned char* into, std::size_t length) {
    while (length > 0) {
        const ssize_t got = read(fd, into, length);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return false;
        }
        into += got;
        length -= static_cast<std::size_t>(got);
    }
    return true;
}

// --- a regular file into a socket -------------------------------------------------------

// Errors of sendfile that belong to the file rather than to the socket.
bool file_error(int error) {
    return error == EIO || error == EOVERFLOW || error == ESPIPE;
}

// A sendfile failure, put on the side it belongs to.
chunk_result sendfile_failed(const chunk_mover& mover, int error) {
    const bool source = file_error(error);
    return failed(source ? chunk_result::source_failed : chunk_result::destination_failed, error,
                  source ? mover.from_fd : mover.to_fd);
}

// One call that moves up to a chunk from the source to the destination by itself (sendfile,
// or a splice with a pipe on one side), retried when a signal interrupts it. A full or empty
// side is a wait, a refused pair sends the mover over to read and write, and a failure is
// put on its side by `failure`.
chunk_result move_in_one_call(chunk_mover& mover, ssize_t (*call)(const chunk_mover&),
                              chunk_result (*when_idle)(const chunk_mover&),
                              chunk_result (*failure)(const chunk_mover&, int)) {
    for (;;) {
        const ssize_t n = call(mover);
        if (n > 0) {
            mover.kernel.pair_supported = true;
            return {chunk_result::moved, static_cast<std::size_t>(n)};
        }
        if (n == 0) {
            return {chunk_result::source_ended};
        }
        if (errno == EINTR) {
            continue;
        }
        if (is_full(errno)) {
            return when_idle(mover);
        }
        if (!mover.kernel.pair_supported && refused(errno)) {
            return go_plain(mover);
        }
        return failure(mover, errno);
    }
}

ssize_t sendfile_chunk(const chunk_mover& mover) {
    return sendfile(mover.to_fd, mover.from_fd, nullptr, mover.buffer.size());
}

// A file never runs dry: the socket is full.
chunk_result wait_for_destination(const chunk_mover& mover) {
    return must_wait(mover.to_fd, POLLOUT);
}

// The rest of a chunk that was read for the checksum, sent from the file by its offset.
chunk_result sendfile_rest(chunk_mover& mover) {
    while (mover.pending_delivered < mover.pending_length) {
        const std::size_t left = mover.pending_length - mover.pending_delivered;
        off_t offset = mover.kernel.file_offset;
        const ssize_t sent = sendfile(mover.to_fd, mover.from_fd, &offset, left);
        if (sent < 0 && errno == EINTR) {
            continue;
        }
        if (sent < 0 && is_full(errno)) {
            return must_wait(mover.to_fd, POLLOUT);
        }
        if (sent < 0 && !mover.kernel.pair_supported && mover.pending_delivered == 0 &&
            refused(errno)) {
            close_kernel_channel(mover.kernel);
            return deliver_from_buffer(mover);  // the chunk is in the buffer already
        }
        if (sent == 0) {
            // The file is shorter than when the chunk was read from it.
            mover.pending_length = 0;
            return failed(chunk_result::source_failed, source_changed_error, mover.from_fd);
        }
        if (sent < 0) {
            mover.pending_length = 0;
            return sendfile_failed(mover, errno);
        }
        mover.pending_delivered += static_cast<std::size_t>(sent);
        mover.kernel.file_offset += sent;
    }
    return chunk_done(mover);
}

// Reads the chunk into the buffer for the program (which moves the file position on, as a
// read does), then sends the same bytes from the file by their offset.
chunk_result sendfile_after_read(chunk_mover& mover) {
    if (mover.pending_length == 0) {
        ssize_t n = 0;
        while ((n = read(mover.from_fd, mover.buffer.data(), mover.buffer.size())) < 0 &&
               errno == EINTR) {
        }
        if (n == 0) {
            return {chunk_result::source_ended};
        }
        if (n < 0) {
            return failed(chunk_result::source_failed, errno, mover.from_fd);
        }
        mover.pending_length = static_cast<std::size_t>(n);
        mover.pending_delivered = 0;
        mover.kernel.file_offset = lseek(mover.from_fd, 0, SEEK_CUR) - n;
    }
    return sendfile_rest(mover);
}

// --- one side is a pipe -----------------------------------------------------------------

// Which side a splice that found no room or no data waits for.
chunk_result wait_for_idle_side(const chunk_mover& mover) {
    pollfd source{mover.from_fd, POLLIN, 0};
    if (poll(&source, 1, 0) == 0) {
        return must_wait(mover.from_fd, POLLIN);
    }
    return must_wait(mover.to_fd, POLLOUT);
}

// Reading a pipe fails only when it has gone; writing one only with EPIPE. So an error is the
// source's when the source is not the pipe and the error is not EPIPE.
chunk_result splice_direct_failed(const chunk_mover& mover, int error) {
    const bool source_is_pipe = file_type(mover.from_fd) == S_IFIFO;
    if (!source_is_pipe && error != EPIPE) {
        return failed(chunk_result::source_failed, error, mover.from_fd);
    }
    return failed(chunk_result::destination_failed, error, mover.to_fd);
}

ssize_t splice_chunk(const chunk_mover& mover) {
    return splice(mover.from_fd, nullptr, mover.to_fd, nullptr, mover.buffer.size(), SPLICE_F_MOVE);
}

// --- through a pipe of our own -----------------------------------------------------------

// Copies the chunk waiting in our pipe into the buffer through a tee, leaving it in the pipe
// for the splice out. False when the tee fails; the chunk is then still whole in the pipe.
bool copy_chunk_by_tee(kernel_channel& channel, unsigned char* buffer, std::size_t n) {
    const ssize_t copied = tee(channel.pipe_read, channel.copy_write, n, 0);
    if (copied != static_cast<ssize_t>(n)) {
        if (copied > 0) {
            [[maybe_unused]] bool dropped =
                read_from_own_pipe(channel.copy_read, buffer, static_cast<std::size_t>(copied));
        }
        return false;
    }
    return read_from_own_pipe(channel.copy_read, buffer, n);
}

// Drops `length` bytes from one of our own pipes.
bool drop_from_own_pipe(int fd, std::size_t length) {
    unsigned char scratch[4096];
    while (length > 0) {
        const std::size_t piece = std::min(length, sizeof scratch);
        if (!read_from_own_pipe(fd, scratch, piece)) {
            return false;
        }
        length -= piece;
    }
    return true;
}

// The destination refused our pipe's pages, or the tee failed: what is left of the chunk
// goes by write from the buffer (taking it out of our pipe unless the buffer holds it
// already), and so does every later chunk.
chunk_result deliver_by_write(chunk_mover& mover, bool already_in_buffer) {
    const std::size_t from = mover.pending_delivered;
    const std::size_t left = mover.pending_length - from;
    const bool taken = already_in_buffer ? drop_from_own_pipe(mover.kernel.pipe_read, left)
                                         : read_from_own_pipe(mover.kernel.pipe_read,
                                                              mover.buffer.data() + from, left);
    close_kernel_channel(mover.kernel);
    if (!taken) {
        mover.pending_length = 0;
        return failed(chunk_result::source_failed, EIO, mover.from_fd);  // our pipe lost it
    }
    return deliver_from_buffer(mover);
}

chunk_result splice_out_of_own_pipe(chunk_mover& mover) {
    while (mover.pending_delivered < mover.pending_length) {
        const ssize_t out = splice(mover.kernel.pipe_read, nullptr, mover.to_fd, nullptr,
                                   mover.pending_length - mover.pending_delivered, SPLICE_F_MOVE);
        if (out < 0 && errno == EINTR) {
            continue;
        }
        if (out < 0 && is_full(errno)) {
            return must_wait(mover.to_fd, POLLOUT);
        }
        if (out < 0 && !mover.kernel.pair_supported && mover.pending_delivered == 0 &&
            refused(errno)) {
            return deliver_by_write(mover, mover.kernel.needs_bytes);
        }
        if (out <= 0) {
            mover.pending_length = 0;
            return failed(chunk_result::destination_failed, out < 0 ? errno : EIO, mover.to_fd);
        }
        mover.pending_delivered += static_cast<std::size_t>(out);
    }
    return chunk_done(mover);
}

chunk_result splice_via_pipe(chunk_mover& mover) {
    if (mover.pending_length > 0) {
        return splice_out_of_own_pipe(mover);
    }
    ssize_t n = 0;
    while ((n = splice(mover.from_fd, nullptr, mover.kernel.pipe_write, nullptr,
                       mover.buffer.size(), SPLICE_F_MOVE)) < 0 &&
           errno == EINTR) {
    }
    if (n == 0) {
        return {chunk_result::source_ended};
    }
    if (n < 0 && is_full(errno)) {
        return must_wait(mover.from_fd, POLLIN);  // our pipe is empty: the source is
    }
    if (n < 0 && !mover.kernel.pair_supported && refused(errno)) {
        return go_plain(mover);
    }
    if (n < 0) {
        return failed(chunk_result::source_failed, errno, mover.from_fd);
    }
    mover.pending_length = static_cast<std::size_t>(n);
    mover.pending_delivered = 0;
    if (mover.kernel.needs_bytes &&
        !copy_chunk_by_tee(mover.kernel, mover.buffer.data(), mover.pending_length)) {
        return deliver_by_write(mover, false);
    }
    return splice_out_of_own_pipe(mover);
}

bool open_pipe(int* read_end, int* write_end, std::size_t chunk_size) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) {
        return false;
    }
    // A chunk of socket data can take a pipe slot for every small fragment it arrived in, so
    // the pipe gets room for four chunks: a splice then stops at the chunk size, not at the
    // pipe's slot count. Past 1 MiB (what an unprivileged process may ask for) a chunk is
    // simply smaller, as it is when the kernel refuses.
    const std::size_t room = std::min<std::size_t>(chunk_size * 4, std::size_t{1} << 20);
    fcntl(ends[1], F_SETPIPE_SZ, static_cast<int>(room));
    *read_end = ends[0];
    *write_end = ends[1];
    return true;
}

sigset_t sigpipe_set() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGPIPE);
    return set;
}

}  // namespace

kernel_channel open_kernel_channel(int from_fd, int to_fd, std::size_t chunk_size,
                                   bool needs_bytes) {
    const mode_t from = file_type(from_fd);
    const mode_t to = file_type(to_fd);
    kernel_channel channel;
    channel.needs_bytes = needs_bytes;
    if (from == S_IFREG && to == S_IFSOCK) {
        channel.method = kernel_method::sendfile_from_file;
        return channel;
    }
    if (!needs_bytes && (from == S_IFIFO || to == S_IFIFO)) {
        channel.method = kernel_method::splice_direct;
        return channel;
    }
    if (from != S_IFSOCK) {
        return channel;  // a terminal, say, or a pipe whose bytes must be seen
    }
    if (!open_pipe(&channel.pipe_read, &channel.pipe_write, chunk_size)) {
        return channel;
    }
    if (needs_bytes && !open_pipe(&channel.copy_read, &channel.copy_write, chunk_size)) {
        close_kernel_channel(channel);
        return channel;
    }
    channel.method = kernel_method::splice_via_pipe;
    return channel;
}

chunk_result kernel_move(chunk_mover& mover) {
    switch (mover.kernel.method) {
    case kernel_method::sendfile_from_file:
        return mover.kernel.needs_bytes
                   ? sendfile_after_read(mover)
                   : move_in_one_call(mover, sendfile_chunk, wait_for_destination, sendfile_failed);
    case kernel_method::splice_direct:
        return move_in_one_call(mover, splice_chunk, wait_for_idle_side, splice_direct_failed);
    case kernel_method::splice_via_pipe: return splice_via_pipe(mover);
    case kernel_method::none: break;
    }
    return plain_move(mover);
}

void close_kernel_channel(kernel_channel& channel) {
    for (int* fd :
         {&channel.pipe_read, &channel.pipe_write, &channel.copy_read, &channel.copy_write}) {
        if (*fd >= 0) {
            close(*fd);
            *fd = -1;
        }
    }
    channel.method = kernel_method::none;
}

void hold_back_sigpipe() {
    const sigset_t set = sigpipe_set();
    sigprocmask(SIG_BLOCK, &set, nullptr);
}

void release_sigpipe() {
    const sigset_t set = sigpipe_set();
    const timespec no_wait{};
    while (sigtimedwait(&set, nullptr, &no_wait) > 0) {
    }
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
}
