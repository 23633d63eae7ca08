// SPDX-License-Identifier: BSD-2-Clause
#include "transfer/chunk_mover.hpp"

#include "platform/descriptor.hpp"
#include "platform/platform.hpp"
#include "state/handled_signals.hpp"
#include "state/run_state.hpp"
#include "transfer/interruptible_write.hpp"
#include "transfer/plain_path.hpp"

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

stream_kind kind_of_stream(int fd, bool ours) {
    switch (type_of_descriptor(fd)) {
    case descriptor_type::socket:
        return ours ? stream_kind::own_socket : stream_kind::shared_socket;
    case descriptor_type::pipe: return stream_kind::shared_pipe;
    case descriptor_type::character_device:
        return isatty(fd) != 0 ? stream_kind::terminal : stream_kind::always_ready;
    default: return stream_kind::always_ready;  // a failing fstat: the first call says why
    }
}

namespace {

bool opened_for(int access_mode, bool for_writing) {
    return access_mode == O_RDWR || access_mode == (for_writing ? O_WRONLY : O_RDONLY);
}

// A descriptor of our own for a pipe that we were given, or for a terminal that we write, or
// `fd` itself where it can't be opened again. A stream shared with other programs keeps the
// flags they rely on, and a full or empty pipe, or a terminal that takes nothing, can't keep
// a call of ours waiting. A terminal is still read through `fd` once poll says it has bytes:
// without a line discipline's minimum (MIN 0 with --nobuf), its non-blocking read of nothing
// would look like its end.
//
// Only what `fd` itself may do is asked for: the read end of a pipe given as standard output
// must not become a way into the pipe's write end. Used the other way, it is never waited
// for (poll would never call a read end writable): its first call fails, as in any program.
int reopened(int fd, stream_kind& kind, bool for_writing) {
    if (kind != stream_kind::shared_pipe && kind != stream_kind::terminal) {
        return fd;
    }
    const int access_mode = access_mode_of(fd);
    if (access_mode < 0) {
        return fd;  // the first call says why
    }
    if (!opened_for(access_mode, for_writing)) {
        kind = stream_kind::not_open_this_way;
        return fd;
    }
    if (kind == stream_kind::terminal && !for_writing) {
        return fd;
    }
    // A pipe's new descriptor is opened only for its direction; a terminal's as the given one.
    const int wanted = kind == stream_kind::terminal ? access_mode
                       : for_writing                 ? O_WRONLY
                                                     : O_RDONLY;
    // The descriptors of the record were read before this: a Ctrl-C since then has closed
    // them, and our descriptor must not take their numbers.
    const sigset_t previous = block_handled_signals();
    const int own = interrupt_seen == 0 ? reopen_without_blocking(fd, wanted) : -1;
    restore_signal_mask(previous);
    if (own < 0) {
        return fd;
    }
    kind = stream_kind::reopened;
    return own;
}

void close_own(int fd, int given) {
    if (fd != given) {
        close(fd);
    }
}

// A pipe or a terminal written through the given descriptor: a write may block.
bool writes_may_block(const chunk_mover& mover) {
    return mover.to_kind == stream_kind::shared_pipe || mover.to_kind == stream_kind::terminal;
}

}  // namespace

chunk_mover open_mover(int from_fd, stream_kind from_kind, int to_fd, stream_kind to_kind,
                       std::span<unsigned char> buffer, bool needs_bytes, bool kernel_allowed) {
    chunk_mover mover{};
    mover.from_fd = from_fd;
    mover.to_fd = to_fd;
    mover.read_fd = reopened(from_fd, from_kind, false);
    mover.write_fd = reopened(to_fd, to_kind, true);
    mover.from_kind = from_kind;
    mover.to_kind = to_kind;
    mover.buffer = buffer;
    mover.buffered_move = buffer.size();
    mover.needs_bytes = needs_bytes;
    if (writes_may_block(mover)) {
        begin_interruptible_writes();
    }
    if (kernel_allowed) {
        mover.kernel = open_kernel_channel(mover);
    }
    return mover;
}

chunk_result move_chunk(chunk_mover& mover) {
    if (mover.kernel.method == kernel_method::none) {
        return plain_move(mover);
    }
    const chunk_result result = kernel_move(mover);
    switch (result.kind) {
    case chunk_result::plain_from_now_on: close_kernel_channel(mover.kernel); break;
    case chunk_result::plain_for_a_chunk: break;
    default: return result;
    }
    return plain_move(mover);
}

chunk_result move_chunk_plainly(chunk_mover& mover) {
    return plain_move(mover);
}

bool chunk_in_flight_now(const chunk_mover& mover) {
    return mover.chunk.length > 0;
}

void close_mover(chunk_mover& mover) {
    if (writes_may_block(mover)) {
        end_interruptible_writes();
    }
    close_kernel_channel(mover.kernel);
    close_own(mover.read_fd, mover.from_fd);
    close_own(mover.write_fd, mover.to_fd);
    mover.read_fd = mover.from_fd;
    mover.write_fd = mover.to_fd;
}

bool failed_by_interrupt(int error) {
    return error == EBADF && interrupt_seen != 0;
}

bool ready_now(int fd, short events) {
    pollfd watched{fd, events, 0};
    int ready = 0;
    while ((ready = poll(&watched, 1, 0)) < 0 && errno == EINTR) {
    }
    // An error or a hang-up is "ready" too: the next call tells what happened.
    return ready != 0;
}
