#include "transfer/relay.hpp"

#include "driver/run_state.hpp"
#include "transfer/alloc.hpp"
#include "transfer/copy.hpp"
#include "transfer/write_all.hpp"
#include "transfer/zero_copy.hpp"

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>
#include <optional>
#include <sys/select.h>
#include <unistd.h>

namespace {

constexpr char near_label[] = "L: ";
constexpr char far_label[] = "H: ";

struct side {
    int in;
    int out;
    destination_kind out_kind;
    const char* label;
    std::optional<zero_copy_channel> channel;  // when the kernel moves this side's chunks
};

// select can't hold a descriptor at or above FD_SETSIZE; putting one into a set would
// write past it.
bool fits_in_select_set(int fd) {
    if (fd >= 0 && fd < FD_SETSIZE) {
        return true;
    }
    std::fprintf(stderr, "descriptor %d can't be watched by select (the limit is %d)\n", fd,
                 FD_SETSIZE - 1);
    return false;
}

enum class served {
    more,           // the chunk went through; the transfer goes on
    ended,          // the side ended, a read failed, or the peer it writes to has gone
    output_failed,  // writing standard output failed and has been reported
};

// A failed write to a socket means the other side has gone, which ends the transfer as
// quietly as the end of the data. A failed write to standard output (a full disk, say) loses
// the chunk, so it is reported, unless an interrupt closed the descriptor.
served failed_write(const side& to, int error) {
    if (to.out_kind == destination_kind::socket || !write_failure_is_reportable(error)) {
        return served::ended;
    }
    errno = error;
    std::perror("write");
    return served::output_failed;
}

// The chunk through the program: read, checksum, write whole, echo, count.
served copy_chunk(const side& from, unsigned char* buffer) {
    const ssize_t n = read(from.in, buffer, static_cast<std::size_t>(buffer_size));
    if (n <= 0) {
        return served::ended;
    }
    if (has_flag(FLAG_SUM)) {
        add_to_checksum(buffer, static_cast<std::size_t>(n));
    }
    if (!write_all(from.out, buffer, static_cast<std::size_t>(n), from.out_kind)) {
        return failed_write(from, errno);
    }
    if (echo_log_in_use()) {
        // A lost echo record must not stop the transfer; its result is not examined.
        [[maybe_unused]] bool label_written = write_all(run_state.echo_fd, from.label, 3);
        [[maybe_unused]] bool chunk_written =
            write_all(run_state.echo_fd, buffer, static_cast<std::size_t>(n));
    }
    run_state.byte_count += n;
    return served::more;
}

// Moves one chunk from the side's input to its output.
served serve_side(side& from, unsigned char* buffer) {
    if (from.channel) {
        const chunk_move move = move_chunk(*from.channel, from.in, from.out,
                                           static_cast<std::size_t>(buffer_size), buffer);
        switch (move.outcome) {
        case chunk_move::moved: run_state.byte_count += move.bytes; return served::more;
        case chunk_move::source_ended: return served::ended;
        case chunk_move::write_failed: return failed_write(from, move.error);
        case chunk_move::unsupported: break;
        }
        close_zero_copy(*from.channel);
        from.channel.reset();
    }
    return copy_chunk(from, buffer);
}

// The working timeout record, obtained once per call. Without memory for it the setting
// is dropped for the rest of the run.
std::unique_ptr<timeval> obtain_working_timeout() {
    if (run_state.timeout == nullptr) {
        return nullptr;
    }
    std::unique_ptr<timeval> working{new (std::nothrow) timeval{}};
    if (!working) {
        std::fputs("internal error, timeout will be ignored\n", stderr);
        timeval* dropped = run_state.timeout;
        run_state.timeout = nullptr;
        std::free(dropped);
    }
    return working;
}

// Without an echo log the kernel moves the chunks (the checksum gets a copy of each). While both
// outputs are sockets, SIGPIPE is held back for the whole transfer; a side that writes
// standard output keeps it, so a pipe without a reader still ends the process.
bool open_kernel_paths(side& near_side, side& far_side) {
    if (echo_log_in_use()) {
        return false;
    }
    const bool both_to_sockets = near_side.out_kind == destination_kind::socket &&
                                 far_side.out_kind == destination_kind::socket;
    for (side* each : {&near_side, &far_side}) {
        if (both_to_sockets || each->out_kind != destination_kind::socket) {
            each->channel =
                open_zero_copy(each->in, each->out, static_cast<std::size_t>(buffer_size),
                               has_flag(FLAG_SUM) ? add_to_checksum : nullptr);
        }
    }
    return both_to_sockets;
}

relay_end shuttle(side& near_side, side& far_side, unsigned char* buffer,
                  timeval* working_timeout) {
    fd_set watched;
    FD_ZERO(&watched);
    FD_SET(near_side.in, &watched);
    FD_SET(far_side.in, &watched);
    const int descriptor_count = (near_side.in > far_side.in ? near_side.in : far_side.in) + 1;
    for (;;) {
        fd_set readable = watched;
        if (working_timeout != nullptr) {
            // A fresh period before every wait: the timeout measures idleness.
            *working_timeout = *run_state.timeout;
        }
        const int ready = select(descriptor_count, &readable, nullptr, nullptr, working_timeout);
        if (ready == 0) {
            std::fputs("timeout\n", stderr);
            return relay_end::finished;
        }
        if (ready < 0) {
            std::perror("select");
            return relay_end::finished;
        }
        // The near side goes first; when both are readable the far side follows in the same
        // pass, so a side that is always readable can't starve the other.
        for (side* each : {&near_side, &far_side}) {
            if (!FD_ISSET(each->in, &readable)) {
                continue;
            }
            const served result = serve_side(*each, buffer);
            if (result != served::more) {
                return result == served::ended ? relay_end::finished : relay_end::output_failed;
            }
        }
    }
}

}  // namespace

relay_end relay_loop(int near_in, int far_in, int near_out, int far_out) {
    const chunk_buffer buffer = alloc_chunk_buffer();
    if (!fits_in_select_set(near_in) || !fits_in_select_set(far_in)) {
        return relay_end::not_started;
    }
    const std::unique_ptr<timeval> working_timeout = obtain_working_timeout();
    side near_side{near_in, far_out, kind_of_destination(far_out), near_label, std::nullopt};
    side far_side{far_in, near_out, kind_of_destination(near_out), far_label, std::nullopt};
    const bool sigpipe_held = open_kernel_paths(near_side, far_side);
    if (sigpipe_held) {
        block_sigpipe();
    }
    const relay_end end = shuttle(near_side, far_side, buffer.get(), working_timeout.get());
    if (sigpipe_held) {
        discard_sigpipe_and_unblock();
    }
    for (side* each : {&near_side, &far_side}) {
        if (each->channel) {
            close_zero_copy(*each->channel);
        }
    }
    return end;
}
