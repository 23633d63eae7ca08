// SPDX-License-Identifier: BSD-2-Clause
#include "transfer/relay.hpp"

#include "driver/run_state.hpp"
#include "transfer/alloc.hpp"
#include "transfer/chunk_accounting.hpp"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <memory>
#include <new>
#include <optional>
#include <poll.h>
#include <sys/select.h>

namespace {

constexpr char near_label[] = "L: ";
constexpr char far_label[] = "H: ";

struct side {
    chunk_mover mover;
    const char* label;
};

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

// The idle period in milliseconds for poll; -1 without a timeout.
int idle_limit_ms(const timeval* working_timeout) {
    if (working_timeout == nullptr) {
        return -1;
    }
    const long long ms = static_cast<long long>(run_state.timeout->tv_sec) * 1000 +
                         static_cast<long long>(run_state.timeout->tv_usec) / 1000;
    return ms < 0 ? 0 : ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

// The kernel moves the chunks where it can. While both outputs are sockets, SIGPIPE is held
// back for the whole transfer; a side that writes standard output keeps it and so takes
// the path of send() on its other side, so a pipe without a reader still ends the process.
bool choose_kernel_paths(side& near_side, side& far_side) {
    const bool both_to_sockets = near_side.mover.to_socket && far_side.mover.to_socket;
    if (!both_to_sockets) {
        for (side* each : {&near_side, &far_side}) {
            if (each->mover.to_socket) {
                close_kernel_channel(each->mover.kernel);
            }
        }
    }
    return both_to_sockets;
}

// With an idle timeout, a destination that takes nothing must not block the relay beyond
// it: our own sockets become non-blocking for the transfer, and standard output is asked for
// room before each write.
void make_writes_wait_in_poll(side& each) {
    each.mover.writes_never_block = true;
    if (each.mover.to_socket) {
        fcntl(each.mover.to_fd, F_SETFL, fcntl(each.mover.to_fd, F_GETFL) | O_NONBLOCK);
    }
}

void make_blocking_again(const side& each) {
    if (each.mover.to_socket) {
        fcntl(each.mover.to_fd, F_SETFL, fcntl(each.mover.to_fd, F_GETFL) & ~O_NONBLOCK);
    }
}

chunk_result idle_past_timeout() {
    std::fputs("timeout\n", stderr);
    return {chunk_result::source_ended};
}

// Moves the side's next chunk whole. Nothing, when the relay goes on; otherwise what ended it.
std::optional<chunk_result> serve_side(side& from, int write_wait_ms) {
    for (;;) {
        chunk_result result = move_chunk(from.mover);
        switch (result.kind) {
        case chunk_result::moved:
            account_chunk(result.bytes, result.seen, from.label, false);
            return std::nullopt;
        case chunk_result::must_wait:
            if (result.events == POLLIN) {
                return std::nullopt;  // nothing to read after all: back to the readiness wait
            }
            // Like a blocking write, the destination is waited for before anything else.
            if (!wait_for(result.fd, POLLOUT, write_wait_ms)) {
                return idle_past_timeout();
            }
            break;
        case chunk_result::source_ended: result.fd = from.mover.from_fd; return result;
        case chunk_result::source_failed:
        case chunk_result::destination_failed: return result;
        }
    }
}

chunk_result relay_chunks(side& near_side, side& far_side, timeval* working_timeout) {
    fd_set watched;
    FD_ZERO(&watched);
    FD_SET(near_side.mover.from_fd, &watched);
    FD_SET(far_side.mover.from_fd, &watched);
    const int descriptor_count = std::max(near_side.mover.from_fd, far_side.mover.from_fd) + 1;
    const int write_wait_ms = idle_limit_ms(working_timeout);
    for (;;) {
        fd_set readable = watched;
        if (working_timeout != nullptr) {
            // A fresh period before every wait: the timeout measures idleness.
            *working_timeout = *run_state.timeout;
        }
        const int ready = select(descriptor_count, &readable, nullptr, nullptr, working_timeout);
        if (ready == 0) {
            return idle_past_timeout();
        }
        if (ready < 0) {
            std::perror("select");
            return {chunk_result::source_ended};
        }
        // The near side goes first; when both are readable the far side follows in the same
        // pass, so a side that is always readable can't starve the other.
        for (side* each : {&near_side, &far_side}) {
            if (!FD_ISSET(each->mover.from_fd, &readable)) {
                continue;
            }
            if (const std::optional<chunk_result> end = serve_side(*each, write_wait_ms)) {
                return *end;
            }
        }
    }
}

}  // namespace

bool fits_in_select_set(int fd) {
    if (fd >= 0 && fd < FD_SETSIZE) {
        return true;
    }
    std::fprintf(stderr, "descriptor %d can't be watched by select (the limit is %d)\n", fd,
                 FD_SETSIZE - 1);
    return false;
}

chunk_result relay_loop(int near_in, int far_in, int near_out, int far_out) {
    const chunk_buffer buffer = alloc_chunk_buffer();
    const std::span<unsigned char> chunk{buffer.get(), static_cast<std::size_t>(buffer_size)};
    const std::unique_ptr<timeval> working_timeout = obtain_working_timeout();
    const bool needs_bytes = chunks_must_be_seen(true);
    side near_side{open_mover(near_in, far_out, chunk, needs_bytes), near_label};
    side far_side{open_mover(far_in, near_out, chunk, needs_bytes), far_label};
    const bool sigpipe_held = choose_kernel_paths(near_side, far_side);
    if (sigpipe_held) {
        hold_back_sigpipe();
    }
    if (working_timeout != nullptr) {
        make_writes_wait_in_poll(near_side);
        make_writes_wait_in_poll(far_side);
    }
    const chunk_result end = relay_chunks(near_side, far_side, working_timeout.get());
    for (side* each : {&near_side, &far_side}) {
        if (working_timeout != nullptr) {
            make_blocking_again(*each);
        }
        close_mover(each->mover);
    }
    if (sigpipe_held) {
        release_sigpipe();
    }
    return end;
}
