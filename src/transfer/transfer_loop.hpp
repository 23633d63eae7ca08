// SPDX-License-Identifier: BSD-2-Clause
// The loop that every transfer runs: one or two lanes (a one-way copy, or both directions of
// a two-way transfer), each moving chunks from its source to its destination, and one wait
// per turn over every descriptor that a lane waits for.
#pragma once

#include "transfer/chunk_accounting.hpp"
#include "transfer/chunk_mover.hpp"
#include "transfer/wait.hpp"

#include <span>

// One direction of a transfer.
struct lane {
    chunk_mover mover;
    const char* echo_label;  // null: the echo log doesn't record this lane
    bool with_dots;
    bool waiting;   // for `awaited` to be ready
    bool finished;  // its source ended or failed, or the transfer is ending
    bool woken;     // the wait found `awaited` ready: the next move must move something
    pollfd awaited;
    echo_record echo;  // the last chunk's record, while the echo log hasn't taken it all
};

// How a transfer ended.
struct transfer_end {
    enum kind_type {
        source_ended,        // a source's end of data (`fd`)
        source_failed,       // reading `fd` failed with `error`
        destination_failed,  // writing `fd` failed with `error`
        interrupted,         // Ctrl-C or Ctrl-\ .
        timed_out,           // idle for the whole --timeout period
        wait_failed,         // the wait itself failed with `error`
    } kind;
    int error = 0;
    int fd = -1;
};

// `buffer` comes from transfer_buffer_size(chunks_seen); where chunks can't be seen and the
// bytes pass through the program, a move uses only the first unseen_buffered_move of it.
[[nodiscard]] lane open_lane(int from_fd, int to_fd, std::span<unsigned char> buffer,
                             bool needs_bytes, const char* echo_label, bool with_dots,
                             bool chunks_seen);

// Moves chunks on every lane until a source ends or fails, a destination fails, the run is
// interrupted, or (with a limit in force) nothing was ready for the whole period. Once one
// lane has ended, the chunks that other lanes have in flight are still delivered.
[[nodiscard]] transfer_end run_lanes(std::span<lane> lanes, const idle_limit& limit);

// Whether `fd` is one of this run's own connections (made non-blocking for the transfer),
// rather than a descriptor it was given.
[[nodiscard]] bool own_connection(int fd);
