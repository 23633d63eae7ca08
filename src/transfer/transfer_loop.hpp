// SPDX-License-Identifier: BSD-2-Clause
// The loop that every transfer runs, from its first byte to the close of its connections: one
// or two lanes (a one-way copy, or both directions of a two-way transfer or a relay), each
// moving chunks from its source to its destination, and one wait per turn over every
// descriptor that a lane waits for.
//
// Each direction ends on its own. A lane whose source ended delivers what it holds, passes
// the end on to a connection as a half-close, and then waits until the peer has acknowledged
// every byte; the other lane goes on meanwhile. The transfer is over when every lane is done,
// or at the first failure, an interrupt or the idle limit.
#pragma once

#include "transfer/chunk_accounting.hpp"
#include "transfer/chunk_mover.hpp"
#include "transfer/wait.hpp"

#include <array>
#include <chrono>
#include <cstdint>
#include <poll.h>
#include <span>

// Where a lane is in its life.
enum class lane_state : std::uint8_t {
    moving,         // taking chunks from its source and delivering them
    ending,         // no new chunk: it delivers what it holds, then passes the end on
    acknowledging,  // its end went to the connection: the peer must acknowledge every byte
    lingering,      // a one-way sender's moment for the peer to end or to reset
    done,           // its end went wherever it goes, and was taken
    failed,         // a call on one of its ends failed: the transfer ends with that failure
};

// What a lane does once its source has ended.
struct lane_ending {
    // The source's end ends the whole transfer: the other lane takes nothing more (a
    // terminal's Ctrl-D, or the connection's end while the standard input is a terminal).
    bool ends_transfer = false;
    // The end goes on to the destination connection as a half-close.
    bool passed_on = false;
    // Between two connections (a relay): the end goes on once the other peer has acknowledged
    // what the relay had taken from it when this end was read. A client told the server's end
    // while the relay holds bytes that the server may never take would finish, and miss the
    // server's reset; connected directly, those bytes would have waited for the server's
    // acknowledgement in the client's own system. Bytes taken after the end was read don't
    // hold it longer: a peer that streams until it sees the end would hold it for ever.
    bool waits_for_the_other_way = false;
    // After the acknowledgement the peer has a moment to end or to reset: a one-way sender's
    // peer may fail on its first write of what it was sent, right after its system
    // acknowledged it.
    bool lingers = false;
    // The destination (standard output, not a terminal) is closed once it has every byte, so
    // that its reader learns the end while the other lane goes on.
    bool closes_destination = false;
};

// One side of a transfer: a descriptor, and whether it is a connection that this run made or
// accepted (non-blocking for the transfer) rather than a descriptor it was given.
struct transfer_side {
    int fd = -1;
    bool connection = false;
};

// One direction of a transfer.
struct lane {
    chunk_mover mover;
    // The lane that goes the other way: it reads what this lane's destination connection
    // sends. Between two connections (a relay) it also writes where this lane's source comes
    // from; between the standard streams and a connection it writes standard output. Null for
    // a one-way transfer.
    lane* partner = nullptr;
    const char* echo_label;  // null: the echo log doesn't record this lane
    bool with_dots;
    lane_ending on_end;
    lane_state state;
    bool waiting;  // for every `awaited` descriptor to be ready, or for `look_at`
    // What it waits for: a splice waits for its source and its destination at once; one that
    // the wait found ready is set to -1 and not asked about again. Unused ones are -1.
    std::array<pollfd, 2> awaited;
    ready_ends found_ready;  // what the wait found ready since the lane last moved
    echo_record echo;        // the last chunk's record, while the echo log hasn't taken it all
    // While the lane waits, it looks again at this time: for an acknowledgement, for the end
    // of a one-way sender's moment, or (under an idle limit) for its destination's progress.
    std::chrono::steady_clock::time_point look_at;
    std::chrono::milliseconds pause;  // between looks for an acknowledgement
    std::chrono::steady_clock::time_point linger_until;
    int last_queued;     // the destination's queue at the last look, -1 unknown
    bool input_ended;    // the destination connection's own input ended (read by its partner)
    bool shut_down;      // our end of data went to the destination connection
    std::int64_t moved;  // bytes of the chunks that reached the destination whole
    // Held back (waits_for_the_other_way): the end goes on once the partner's destination has
    // acknowledged this many of the partner's bytes; -1 while not yet measured.
    std::int64_t release_at;
};

// What one lane did, as the transfer ended.
struct lane_facts {
    std::int64_t taken = 0;      // bytes taken from the source
    std::int64_t delivered = 0;  // of those, bytes the destination took (each counted once)
    // Of those, bytes written to a connection that its peer hadn't acknowledged, which a
    // reset throws away (where the system counts them).
    int unacknowledged = 0;
    bool end_passed_on = false;  // the destination connection got our end of data
};

// How a transfer ended: the one record of facts that the driver's policy judges.
struct transfer_end {
    enum kind_type {
        completed,           // every lane is done
        source_failed,       // reading `fd` failed with `error`
        destination_failed,  // writing `fd` failed with `error` (a reset, once it was sent)
        interrupted,         // Ctrl-C or Ctrl-\ .
        timed_out,           // idle for the whole --timeout period
        wait_failed,         // the wait itself failed with `error`
    } kind;
    int error = 0;
    int fd = -1;
    // timed_out: bytes taken from one side had not all reached the other (a chunk held, bytes
    // unread on a connection whose lane waits for room, or bytes a peer had not acknowledged).
    bool stranded = false;
    // Standard input was read to its end.
    bool standard_input_ended = false;
    std::array<lane_facts, 2> lanes{};  // one per lane, in the order they were given
};

// `buffer` comes from transfer_buffer_size(chunks_seen); where chunks can't be seen and the
// bytes pass through the program, a move uses only the first unseen_buffered_move of it.
[[nodiscard]] lane open_lane(transfer_side from, transfer_side to, std::span<unsigned char> buffer,
                             bool needs_bytes, const char* echo_label, bool with_dots,
                             bool chunks_seen);

// A lane with nothing to move that passes the end on to `fd` and waits out its close: what a
// one-way sender does once every chunk went.
[[nodiscard]] lane closing_lane(int fd, const lane_ending& on_end);

// Runs the lanes until every one is done, one fails, the run is interrupted, or (with a limit
// in force) the transfer made no progress for the whole period. SIGINT and SIGQUIT are held
// back meanwhile and let in only by its waits (and by a read or write that may block); one that
// comes after its last wait is delivered as it returns.
[[nodiscard]] transfer_end run_lanes(std::span<lane> lanes, const idle_limit& limit);

// Links two lanes that go opposite ways over the same connection.
void pair_lanes(lane& one, lane& other);
