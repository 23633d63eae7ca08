// SPDX-License-Identifier: BSD-2-Clause
#include "transfer/chunk_mover.hpp"

#include "platform/descriptor.hpp"
#include "platform/platform.hpp"
#include "state/handled_signals.hpp"
#include "state/run_state.hpp"
#include "transfer/interruptible_io.hpp"
#include "transfer/kernel_path.hpp"
#include "transfer/plain_path.hpp"

#include <cerrno>
#include <fcntl.h>
#include <sys/socket.h>
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

// What `end` is read or written through: a descriptor of our own for a pipe that we were
// given, or for a terminal that we write, or `end.fd` itself where it can't be opened again. A
// stream shared with other programs keeps the flags they rely on, and a full or empty pipe, or a
// terminal that takes nothing, can't keep a call of ours waiting. A terminal is still read through
// `fd` once poll says it has bytes: without a line discipline's minimum (MIN 0 with --nobuf), its
// non-blocking read of nothing would look like its end.
//
// Only what `end.fd` itself may do is asked for: the read end of a pipe given as standard output
// must not become a way into the pipe's write end. Used the other way, it is never waited
// for (poll would never call a read end writable): its first call fails, as in any program.
void reopen(stream_end& end, bool for_writing) {
    end.io_fd = end.fd;
    if (end.kind != stream_kind::shared_pipe && end.kind != stream_kind::terminal) {
        return;
    }
    if (end.access_mode < 0) {
        return;  // the first call says why
    }
    if (!opened_for(end.access_mode, for_writing)) {
        end.kind = stream_kind::not_open_this_way;
        return;
    }
    if (end.kind == stream_kind::terminal && !for_writing) {
        return;
    }
    // A pipe's new descriptor is opened only for its direction; a terminal's as the given one.
    const int wanted = end.kind == stream_kind::terminal ? end.access_mode
                       : for_writing                     ? O_WRONLY
                                                         : O_RDONLY;
    // The descriptors of the record were read before this: a Ctrl-C since then has closed
    // them, and our descriptor must not take their numbers.
    const sigset_t previous = block_handled_signals();
    const int own = interrupt_seen == 0 ? reopen_without_blocking(end.fd, wanted) : -1;
    restore_signal_mask(previous);
    if (own < 0) {
        return;
    }
    end.kind = stream_kind::reopened;
    end.io_fd = own;
}

stream_end end_of(int fd, stream_kind kind, bool for_writing) {
    stream_end end;
    end.fd = fd;
    end.kind = kind;
    end.type = type_of_descriptor(fd);
    end.access_mode = access_mode_of(fd);
    reopen(end, for_writing);
    return end;
}

void close_own(stream_end& end) {
    if (end.io_fd != end.fd) {
        close(end.io_fd);
        end.io_fd = end.fd;
    }
}

// A pipe or a terminal read or written through the given descriptor: a call may block.
bool calls_may_block(const chunk_mover& mover) {
    return asked_first(mover.source.kind) || asked_first(mover.destination.kind);
}

}  // namespace

chunk_mover open_mover(int from_fd, stream_kind from_kind, int to_fd, stream_kind to_kind,
                       std::span<unsigned char> buffer, bool needs_bytes, bool kernel_allowed) {
    chunk_mover mover{};
    mover.source = end_of(from_fd, from_kind, false);
    mover.destination = end_of(to_fd, to_kind, true);
    mover.buffer = buffer;
    mover.buffered_move = buffer.size();
    mover.needs_bytes = needs_bytes;
    if (calls_may_block(mover)) {
        begin_interruptible_calls();
    }
    if (kernel_allowed) {
        mover.kernel = open_kernel_channel(mover);
    }
    return mover;
}

chunk_result move_chunk(chunk_mover& mover, ready_ends ready) {
    if (mover.kernel.method == kernel_method::none) {
        return plain_move(mover, ready);
    }
    return kernel_move(mover, ready);
}

void close_mover(chunk_mover& mover) {
    if (calls_may_block(mover)) {
        end_interruptible_calls();
    }
    close_kernel_channel(mover.kernel);
    close_own(mover.source);
    close_own(mover.destination);
}

void end_destination(chunk_mover& mover) {
    close_kernel_channel(mover.kernel);
    close_own(mover.destination);
    if (mover.destination.type == descriptor_type::socket) {
        // the socket may be our standard input too, or shared: its reader learns the end all
        // the same
        shutdown(mover.destination.fd, SHUT_WR);
    }
    const int null_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null_fd >= 0) {
        dup2(null_fd, mover.destination.fd);
        close(null_fd);
    }
}

bool failed_by_interrupt(int error) {
    return error == EBADF && interrupt_seen != 0;
}
