// SPDX-License-Identifier: BSD-2-Clause
#include "transfer/relay.hpp"

#include "state/alloc.hpp"
#include "state/run_state.hpp"
#include "transfer/chunk_accounting.hpp"
#include "transfer/kernel_path.hpp"
#include "transfer/move_size.hpp"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr char near_label[] = "L: ";
constexpr char far_label[] = "H: ";

// The echo log's records wait in the transfer's one wait, never in a write: its descriptor
// (ours alone: the log was opened by this run) doesn't block while the transfer runs. The
// separator between cycles is written as before. Returns the flags to restore.
int echo_log_without_blocking() {
    if (!echo_log_in_use()) {
        return -1;
    }
    const int flags = fcntl(run_state.echo_fd, F_GETFL);
    if (flags >= 0) {
        fcntl(run_state.echo_fd, F_SETFL, flags | O_NONBLOCK);
    }
    return flags;
}

void restore_echo_log(int flags) {
    if (flags >= 0) {
        fcntl(run_state.echo_fd, F_SETFL, flags);
    }
}

bool writes_socket(const lane& each) {
    return each.mover.destination.kind == stream_kind::own_socket ||
           each.mover.destination.kind == stream_kind::shared_socket;
}

// The kernel moves the chunks where it can. While both outputs are sockets, SIGPIPE is held
// back for the whole transfer; a side that writes standard output keeps it and so takes
// the path of send() on its other side, so a pipe without a reader still ends the process.
bool choose_kernel_paths(lane& near_lane, lane& far_lane) {
    const bool both_to_sockets = writes_socket(near_lane) && writes_socket(far_lane);
    if (!both_to_sockets) {
        for (lane* each : {&near_lane, &far_lane}) {
            if (writes_socket(*each)) {
                close_kernel_channel(each->mover.kernel);
            }
        }
    }
    return both_to_sockets;
}

// What each direction does once its source has ended.
void set_endings(lane& near_lane, lane& far_lane, bool between_connections) {
    if (between_connections) {
        near_lane.on_end = {.ends_transfer = false,
                            .passed_on = true,
                            .waits_for_the_other_way = true,
                            .lingers = false};
        far_lane.on_end = near_lane.on_end;
        return;
    }
    // A terminal's end is the user's Ctrl-D: the session is over. The connection's end is the
    // peer's half-close: standard output ends with it, and the rest of standard input still
    // goes to the peer, which may still read (an upload answered early). Only a person at a
    // terminal expects the session to be over at the peer's end. Standard output stays open
    // where a terminal shows it, or where --continue writes the next peer's bytes there.
    const bool from_terminal = isatty(near_lane.mover.source.fd) != 0;
    const bool output_ends = isatty(far_lane.mover.destination.fd) == 0 && !has_flag(FLAG_CONTINUE);
    near_lane.on_end = {.ends_transfer = from_terminal, .passed_on = true, .lingers = false};
    far_lane.on_end = {.ends_transfer = from_terminal,
                       .passed_on = false,
                       .lingers = false,
                       .closes_destination = output_ends};
}

}  // namespace

transfer_end relay_loop(transfer_side near_in, transfer_side near_out, transfer_side far) {
    // Each direction has a buffer of its own: a chunk that waits for a slow destination must
    // not hold up the other direction.
    const bool chunks_seen = echo_log_in_use();  // one record per chunk
    const std::size_t size = transfer_buffer_size(chunks_seen);
    const chunk_buffer near_buffer = alloc_chunk_buffer(size);
    const chunk_buffer far_buffer = alloc_chunk_buffer(size);
    idle_limit limit;
    if (!idle_limit_of_transfer(limit)) {
        return {transfer_end::wait_failed, errno};
    }
    const bool needs_bytes = chunks_must_be_seen(true);
    lane lanes[] = {open_lane(near_in, far, {near_buffer.get(), size}, needs_bytes, near_label,
                              false, chunks_seen),
                    open_lane(far, near_out, {far_buffer.get(), size}, needs_bytes, far_label,
                              false, chunks_seen)};
    pair_lanes(lanes[0], lanes[1]);
    set_endings(lanes[0], lanes[1], near_in.connection);
    const bool sigpipe_held = choose_kernel_paths(lanes[0], lanes[1]);
    if (sigpipe_held) {
        hold_back_sigpipe();
    }
    const int echo_log_flags = echo_log_without_blocking();
    const transfer_end end = run_lanes(lanes, limit);
    restore_echo_log(echo_log_flags);
    for (lane& each : lanes) {
        close_mover(each.mover);
    }
    if (sigpipe_held) {
        release_sigpipe();
    }
    return end;
}
