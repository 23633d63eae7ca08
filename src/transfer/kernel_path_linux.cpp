// SPDX-License-Identifier: BSD-2-Clause
#include "transfer/kernel_path.hpp"

#include "platform/descriptor.hpp"
#include "state/handled_signals.hpp"
#include "state/run_state.hpp"
#include "transfer/chunk.hpp"
#include "transfer/plain_path.hpp"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

// Files over 2 GiB are read by their offsets on 32-bit systems too (CMakeLists.txt asks for
// the 64-bit file interfaces).
static_assert(sizeof(off_t) == 8, "off_t holds any file offset");

namespace {

using place = chunk_in_flight::place;

// --- what each kernel call's results mean --------------------------------------------------

enum class kernel_call : std::uint8_t {
    sendfile_call,  // a regular file into a socket
    splice_direct,  // a pipe on one side
    splice_in,      // a socket into our own pipe
    splice_out,     // our own pipe into the destination
};

enum class meaning : std::uint8_t {
    wait_for_source,       // nothing to take yet
    wait_for_destination,  // no room yet
    wait_for_either,       // either: poll tells which
    refused,               // the kernel can't move this pair: read and write instead
    source_failed,
    destination_failed,
    by_access_mode,  // a descriptor not open for its direction: the side it belongs to
    by_pipe_side,    // a pipe's read fails only when it's gone, its write only with EPIPE
};

struct error_row {
    kernel_call call;
    int error;
    meaning what;
};

// Every errno that a kernel call's failure can carry and that means more than "this side
// failed". EAGAIN is a wait; EINVAL, ENOSYS and EOPNOTSUPP, before a chunk of the pair has
// gone through, are the kernel refusing the pair (an appending file, say); EBADF names a
// descriptor opened for the wrong direction (standard input opened write-only).
constexpr error_row error_table[] = {
    {kernel_call::sendfile_call, EAGAIN, meaning::wait_for_destination},  // a file never runs dry
    {kernel_call::sendfile_call, EINVAL, meaning::refused},
    {kernel_call::sendfile_call, ENOSYS, meaning::refused},
    {kernel_call::sendfile_call, EOPNOTSUPP, meaning::refused},
    {kernel_call::sendfile_call, EIO, meaning::source_failed},
    {kernel_call::sendfile_call, EOVERFLOW, meaning::source_failed},
    {kernel_call::sendfile_call, ESPIPE, meaning::source_failed},
    {kernel_call::sendfile_call, EBADF, meaning::by_access_mode},
    {kernel_call::splice_direct, EAGAIN, meaning::wait_for_either},
    {kernel_call::splice_direct, EINVAL, meaning::refused},
    {kernel_call::splice_direct, ENOSYS, meaning::refused},
    {kernel_call::splice_direct, EOPNOTSUPP, meaning::refused},
    {kernel_call::splice_direct, EBADF, meaning::by_access_mode},
    {kernel_call::splice_in, EAGAIN, meaning::wait_for_source},  // our pipe is empty
    {kernel_call::splice_in, EINVAL, meaning::refused},
    {kernel_call::splice_in, ENOSYS, meaning::refused},
    {kernel_call::splice_in, EOPNOTSUPP, meaning::refused},
    {kernel_call::splice_out, EAGAIN, meaning::wait_for_destination},  // our pipe holds a chunk
    {kernel_call::splice_out, EINVAL, meaning::refused},
    {kernel_call::splice_out, ENOSYS, meaning::refused},
    {kernel_call::splice_out, EOPNOTSUPP, meaning::refused},
};

// The meaning of any other errno: the failure of the side the call writes or reads.
constexpr meaning other_errors(kernel_call call) {
    switch (call) {
    case kernel_call::sendfile_call: return meaning::destination_failed;
    case kernel_call::splice_direct: return meaning::by_pipe_side;
    case kernel_call::splice_in: return meaning::source_failed;
    case kernel_call::splice_out: return meaning::destination_failed;
    }
    return meaning::destination_failed;
}

meaning meaning_of(kernel_call call, int error, bool pair_supported) {
    for (const error_row& row : error_table) {
        if (row.call == call && row.error == error) {
            // once the pair has worked, a "refusal" is a failure like any other
            return row.what == meaning::refused && pair_supported ? other_errors(call) : row.what;
        }
    }
    return other_errors(call);
}

chunk_result wait_result(awaited_end end) {
    chunk_result result{chunk_result::must_wait};
    result.awaited = end;
    return result;
}

// A splice between a pipe and the other end took nothing: it waits for what the wait hasn't
// found ready (the lane keeps what was found ready until the move uses it). Where both were
// found ready, the chunk goes by read instead.
awaited_end either_end(ready_ends ready) {
    if (ready.source && !ready.destination) {
        return awaited_end::destination;
    }
    if (ready.destination && !ready.source) {
        return awaited_end::source;
    }
    return awaited_end::both;
}

chunk_result failure_result(chunk_result::kind_type kind, int error, int fd) {
    return {kind, 0, {}, error, fd};
}

// The result that a failed call's meaning gives (`refused` is handled by the caller).
chunk_result result_of_failure(const chunk_mover& mover, meaning what, int error,
                               ready_ends ready = {}) {
    const int source = mover.source.fd;
    switch (what) {
    case meaning::wait_for_source: return wait_result(awaited_end::source);
    case meaning::wait_for_destination: return wait_result(awaited_end::destination);
    case meaning::wait_for_either: return wait_result(either_end(ready));
    case meaning::source_failed: return failure_result(chunk_result::source_failed, error, source);
    case meaning::by_access_mode:
        if (mover.source.access_mode == O_WRONLY) {
            return failure_result(chunk_result::source_failed, error, source);
        }
        break;
    case meaning::by_pipe_side:
        if (mover.source.type != descriptor_type::pipe && error != EPIPE) {
            return failure_result(chunk_result::source_failed, error, source);
        }
        break;
    case meaning::refused:
    case meaning::destination_failed: break;
    }
    return failure_result(chunk_result::destination_failed, error, mover.destination.fd);
}

// A chunk that a failure ends: the part that its destination took is delivered all the same
// and goes with the failure, to be counted (with its bytes where the program `seen` them).
chunk_result with_delivered_part(chunk_mover& mover, chunk_result result, bool seen) {
    if (result.kind == chunk_result::must_wait) {
        return result;
    }
    result.bytes = mover.chunk.delivered;
    if (seen) {
        result.seen = mover.buffer.first(result.bytes);
    }
    mover.chunk = {};
    return result;
}

// The chunk is complete; what the program saw of it goes with it.
chunk_result chunk_done(chunk_mover& mover, bool seen) {
    const std::size_t length = mover.chunk.delivered;
    mover.chunk = {};
    mover.kernel.pair_supported = true;
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

// --- a regular file into a socket ------------------------------------------------------------

// What a failed sendfile (errno) means for the chunk in flight. A pair the kernel refuses,
// before any of the chunk went, goes by read and write: a span of the file that none of went
// was never taken, a chunk read for the program is in the buffer already.
chunk_result sendfile_failure(chunk_mover& mover) {
    chunk_in_flight& chunk = mover.chunk;
    const int error = errno;
    const meaning what = meaning_of(kernel_call::sendfile_call, error, mover.kernel.pair_supported);
    const bool read_first = chunk.held == place::file_offset;
    if (what == meaning::refused && chunk.delivered == 0) {
        if (read_first) {
            chunk.held = place::buffer;
        } else {
            chunk = {};
        }
        return {chunk_result::plain_from_now_on};
    }
    return with_delivered_part(mover, result_of_failure(mover, what, error), read_first);
}

// Unseen, a chunk is up to a buffer's size from the file's own position, as a read would take
// it: nothing is called until it is sent.
chunk_result take_span_of_file(chunk_mover& mover) {
    mover.chunk = {mover.buffer.size(), 0, place::file_position, 0};
    return {chunk_result::taken};
}

// sendfile moves the position by what it sent, so a chunk cut short by a full socket goes on
// from there; the file's end ends the chunk.
chunk_result send_from_file_position(chunk_mover& mover) {
    chunk_in_flight& chunk = mover.chunk;
    const int to = mover.destination.fd;
    while (chunk.delivered < chunk.length) {
        const ssize_t sent = sendfile(to, mover.source.fd, nullptr, chunk.length - chunk.delivered);
        if (sent > 0) {
            chunk.delivered += static_cast<std::size_t>(sent);
            continue;
        }
        if (sent == 0) {
            break;
        }
        if (errno == EINTR) {
            continue;
        }
        return sendfile_failure(mover);
    }
    if (chunk.delivered == 0) {
        chunk = {};
        return {chunk_result::source_ended};
    }
    return chunk_done(mover, false);
}

// Seen, the chunk is read into the buffer for the program (which moves the file position on,
// as a read does); then the same bytes are sent from the file by their offset.
chunk_result take_by_reading_file(chunk_mover& mover) {
    ssize_t n = 0;
    while ((n = read(mover.source.fd, mover.buffer.data(), mover.buffered_move)) < 0 &&
           errno == EINTR) {
    }
    if (n == 0) {
        return {chunk_result::source_ended};
    }
    if (n < 0) {
        return failure_result(chunk_result::source_failed, errno, mover.source.fd);
    }
    chunk_in_flight& chunk = mover.chunk;
    chunk = {static_cast<std::size_t>(n), 0, place::file_offset, 0};
    // the file's position is asked once; after that each read moves it by its chunk
    if (mover.kernel.file_position < 0) {
        mover.kernel.file_position =
            lseek(mover.source.fd, 0, SEEK_CUR) - static_cast<off_t>(chunk.length);
    }
    chunk.file_offset = mover.kernel.file_position;
    mover.kernel.file_position += static_cast<off_t>(chunk.length);
    return {chunk_result::taken};
}

chunk_result send_from_file_offset(chunk_mover& mover) {
    chunk_in_flight& chunk = mover.chunk;
    while (chunk.delivered < chunk.length) {
        off_t offset = chunk.file_offset + static_cast<off_t>(chunk.delivered);
        const ssize_t sent = sendfile(mover.destination.fd, mover.source.fd, &offset,
                                      chunk.length - chunk.delivered);
        if (sent > 0) {
            chunk.delivered += static_cast<std::size_t>(sent);
            continue;
        }
        if (sent == 0) {
            // The file is shorter than when the chunk was read from it.
            chunk = {};
            return failure_result(chunk_result::source_failed, source_changed_error,
                                  mover.source.fd);
        }
        if (errno == EINTR) {
            continue;
        }
        return sendfile_failure(mover);
    }
    return chunk_done(mover, true);
}

// --- one side is a pipe --------------------------------------------------------------------

// Takes and delivers in one call: nothing is ever held in flight.
chunk_result splice_direct(chunk_mover& mover, ready_ends ready) {
    for (;;) {
        const ssize_t n = splice(mover.source.fd, nullptr, mover.destination.fd, nullptr,
                                 mover.buffer.size(), SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
        if (n > 0) {
            mover.kernel.pair_supported = true;
            return {chunk_result::moved, static_cast<std::size_t>(n)};
        }
        if (n == 0) {
            // A socket's splice can give 0 at an urgent byte as at the end; only a read tells.
            if (mover.source.type == descriptor_type::socket) {
                return {chunk_result::plain_for_a_chunk};
            }
            return {chunk_result::source_ended};
        }
        if (errno == EINTR) {
            continue;
        }
        const meaning what =
            meaning_of(kernel_call::splice_direct, errno, mover.kernel.pair_supported);
        if (what == meaning::refused) {
            return {chunk_result::plain_from_now_on};
        }
        return result_of_failure(mover, what, errno, ready);
    }
}

// --- through a pipe of our own ---------------------------------------------------------------

// Takes the chunk out of our pipe into the buffer, so that it can go by write.
bool move_chunk_to_buffer(chunk_mover& mover) {
    chunk_in_flight& chunk = mover.chunk;
    chunk.held = place::buffer;
    return read_from_own_pipe(mover.kernel.pipe_read, mover.buffer.data(), chunk.length);
}

chunk_result splice_out_of_own_pipe(chunk_mover& mover) {
    chunk_in_flight& chunk = mover.chunk;
    while (chunk.delivered < chunk.length) {
        const ssize_t out =
            splice(mover.kernel.pipe_read, nullptr, mover.destination.fd, nullptr,
                   chunk.length - chunk.delivered, SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
        if (out > 0) {
            chunk.delivered += static_cast<std::size_t>(out);
            continue;
        }
        if (out < 0 && errno == EINTR) {
            continue;
        }
        const int error = out < 0 ? errno : EIO;
        const meaning what =
            meaning_of(kernel_call::splice_out, error, mover.kernel.pair_supported);
        if (what == meaning::refused && chunk.delivered == 0) {
            // The destination takes no pages from a pipe: this chunk and every later one go
            // by write.
            if (!move_chunk_to_buffer(mover)) {
                chunk = {};
                return failure_result(chunk_result::source_failed, EIO, mover.source.fd);
            }
            return {chunk_result::plain_from_now_on};
        }
        const chunk_result result = result_of_failure(mover, what, error);
        if (result.kind != chunk_result::must_wait) {
            // our pipe must not keep the rest of a chunk that will never go out
            [[maybe_unused]] bool emptied =
                drop_from_own_pipe(mover.kernel.pipe_read, chunk.length - chunk.delivered);
        }
        return with_delivered_part(mover, result, false);
    }
    return chunk_done(mover, false);
}

chunk_result splice_into_own_pipe(chunk_mover& mover, ready_ends ready) {
    if (mover.source.kind == stream_kind::shared_socket && !ready.source) {
        return wait_result(awaited_end::source);  // a socket we share may block a splice
    }
    ssize_t n = 0;
    while ((n = splice(mover.source.fd, nullptr, mover.kernel.pipe_write, nullptr,
                       mover.buffer.size(), SPLICE_F_MOVE | SPLICE_F_NONBLOCK)) < 0 &&
           errno == EINTR) {
    }
    if (n == 0) {
        // A socket's splice can give 0 at an urgent byte as at the end: a read tells.
        return {chunk_result::plain_for_a_chunk};
    }
    if (n < 0) {
        const meaning what = meaning_of(kernel_call::splice_in, errno, mover.kernel.pair_supported);
        if (what == meaning::refused) {
            return {chunk_result::plain_from_now_on};
        }
        return result_of_failure(mover, what, errno);
    }
    mover.chunk = {static_cast<std::size_t>(n), 0, place::own_pipe, 0};
    return {chunk_result::taken};
}

bool open_pipe(int* read_end, int* write_end, std::size_t chunk_size) {
    // The caller's descriptors were read from the record before this: a Ctrl-C since then has
    // closed them, and our pipe must not take their numbers.
    int ends[2];
    const sigset_t previous = block_handled_signals();
    const bool opened = interrupt_seen == 0 && pipe2(ends, O_CLOEXEC) == 0;
    restore_signal_mask(previous);
    if (!opened) {
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

bool writes_without_waiting(stream_kind kind) {
    return kind == stream_kind::own_socket || kind == stream_kind::always_ready;
}

chunk_result kernel_take(chunk_mover& mover, ready_ends ready) {
    switch (mover.kernel.method) {
    case kernel_method::sendfile_from_file:
        return mover.needs_bytes ? take_by_reading_file(mover) : take_span_of_file(mover);
    case kernel_method::splice_direct: return splice_direct(mover, ready);
    case kernel_method::splice_via_pipe: return splice_into_own_pipe(mover, ready);
    case kernel_method::none: break;
    }
    return {chunk_result::plain_from_now_on};
}

chunk_result kernel_deliver(chunk_mover& mover) {
    switch (mover.chunk.held) {
    case place::file_position: return send_from_file_position(mover);
    case place::file_offset: return send_from_file_offset(mover);
    case place::own_pipe: return splice_out_of_own_pipe(mover);
    case place::buffer: break;  // never here: carry_in_kernel hands such a chunk over
    }
    return {chunk_result::plain_from_now_on};
}

// Whether a move asks to wait for what the wait has already found ready.
bool ready_yet_idle(const chunk_result& result, ready_ends ready) {
    if (result.kind != chunk_result::must_wait) {
        return false;
    }
    switch (result.awaited) {
    case awaited_end::source: return ready.source;
    case awaited_end::destination: return ready.destination;
    case awaited_end::both: return ready.source && ready.destination;
    }
    return false;
}

// Takes and delivers a chunk in the kernel, or says that the plain route must take it over:
// a chunk already handed over (held in the buffer), or one that the kernel can't carry.
chunk_result carry_in_kernel(chunk_mover& mover, ready_ends ready) {
    if (chunk_in_flight_now(mover) && mover.chunk.held == place::buffer) {
        return {chunk_result::plain_for_a_chunk};
    }
    if (!chunk_in_flight_now(mover)) {
        const chunk_result taken = kernel_take(mover, ready);
        if (ready_yet_idle(taken, ready)) {
            // A TCP socket's splice stops short of an urgent byte while poll reports the
            // socket readable, and waiting again would spin: a read takes past it, and the
            // kernel's route the chunks after.
            return {chunk_result::plain_for_a_chunk};
        }
        if (taken.kind != chunk_result::taken) {
            return taken;
        }
    }
    return kernel_deliver(mover);
}

}  // namespace

kernel_channel open_kernel_channel(const chunk_mover& mover) {
    const descriptor_type from = mover.source.type;
    const descriptor_type to = mover.destination.type;
    kernel_channel channel;
    if (from == descriptor_type::regular_file &&
        mover.destination.kind == stream_kind::own_socket) {
        channel.method = kernel_method::sendfile_from_file;
        return channel;
    }
    // A terminal, and a socket we were given, might keep a splice waiting.
    const bool to_can_take_pages =
        writes_without_waiting(mover.destination.kind) || to == descriptor_type::pipe;
    if (!to_can_take_pages || mover.source.kind == stream_kind::terminal) {
        return channel;
    }
    // Bytes that the program must see go by read and write: two calls a chunk, where a splice
    // through our pipe would take four (in, a tee, a read of the copy, out).
    if (mover.needs_bytes) {
        return channel;
    }
    if (from == descriptor_type::pipe || to == descriptor_type::pipe) {
        channel.method = kernel_method::splice_direct;
        return channel;
    }
    if (from != descriptor_type::socket ||
        !open_pipe(&channel.pipe_read, &channel.pipe_write, mover.buffer.size())) {
        return channel;
    }
    channel.method = kernel_method::splice_via_pipe;
    return channel;
}

// What the kernel refuses to carry goes by read and write, from where the chunk is (in the
// buffer, or not taken yet); a refused pair from now on, so the channel closes.
chunk_result kernel_move(chunk_mover& mover, ready_ends ready) {
    const chunk_result result = carry_in_kernel(mover, ready);
    switch (result.kind) {
    case chunk_result::plain_from_now_on: close_kernel_channel(mover.kernel); break;
    case chunk_result::plain_for_a_chunk: break;
    default: return result;
    }
    return plain_move(mover, ready);
}

void close_kernel_channel(kernel_channel& channel) {
    for (int* fd : {&channel.pipe_read, &channel.pipe_write}) {
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
