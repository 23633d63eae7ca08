// SPDX-License-Identifier: BSD-2-Clause
#include "transfer/transfer_loop.hpp"

#include "platform/descriptor.hpp"
#include "platform/platform.hpp"
#include "state/handled_signals.hpp"
#include "state/run_state.hpp"
#include "transfer/chunk_accounting.hpp"
#include "transfer/connection_end.hpp"
#include "transfer/connection_watch.hpp"
#include "transfer/move_size.hpp"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <optional>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

using steady = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr steady::time_point never = steady::time_point::max();
// Nothing signals "all acknowledged" once our side is shut down: the count is looked at after
// growing pauses.
constexpr milliseconds first_pause{1};
constexpr milliseconds longest_pause{50};
// A one-way sender's peer has this long after the last acknowledgement to end or to reset.
constexpr milliseconds linger_period{1000};
// Under an idle limit, a lane that waits for room looks this often (at most) whether its
// destination took something: a full socket's queue may drain for seconds before poll calls
// it writable again, and a slow reader is progress, not idleness.
constexpr milliseconds longest_progress_look{250};
// While one lane keeps moving whole chunks, the lanes that wait are looked at after this many
// turns, or at once after a short move: a poll per chunk would double a busy relay's calls.
// The look lets Ctrl-C in as well.
constexpr int busy_turns_between_looks = 4;
// Lanes that all keep moving, with none waiting, let Ctrl-C in by a look at nothing this
// often: promptly, and without a call for every few chunks.
constexpr milliseconds busy_interrupt_look{10};

// What the lanes of one transfer share while it runs.
struct transfer_run {
    std::span<lane> lanes;
    idle_limit limit;
    std::optional<transfer_end> failure;  // the first failure ends the transfer
    bool stopping = false;                // a lane's end ended the transfer
    bool progress = false;                // a byte moved, or a destination took some, this turn
    bool standard_input_ended = false;
    const lane* log_writer = nullptr;  // the lane whose echo record is half written
    connection_watches watches{};      // for a reset, in every wait while a lane lives
};

// What a lane did in its turn.
enum class lane_turn : std::uint8_t {
    stopped,      // it waits, or is done
    moved_whole,  // it moved a whole move's worth and may move more at once
    moved_short,  // it moved less: its source may have run dry
};

// A write to a connection that its peer reset fails with EPIPE once the reset has been
// taken note of; the connection still holds the reset's own error, which says more.
int error_behind_write(const chunk_result& result) {
    if (result.error != EPIPE || !is_socket(result.fd)) {
        return result.error;
    }
    const int error = pending_socket_error(result.fd);
    return error != 0 ? error : result.error;
}

void fail(transfer_run& run, lane& each, transfer_end::kind_type kind, int error, int fd) {
    each.state = lane_state::failed;
    if (!run.failure) {
        run.failure = transfer_end{kind, error, fd};
    }
}

void fail_by(transfer_run& run, lane& each, const chunk_result& result) {
    if (result.kind == chunk_result::source_failed) {
        fail(run, each, transfer_end::source_failed, result.error, result.fd);
    } else {
        fail(run, each, transfer_end::destination_failed, error_behind_write(result), result.fd);
    }
}

constexpr pollfd no_wait{-1, 0, 0};

// Whether the lane still has a turn: it is neither done nor failed.
bool in_play(const lane& each) {
    return each.state != lane_state::done && each.state != lane_state::failed;
}

void wait_until(lane& each, int fd, short events, steady::time_point look_at) {
    each.waiting = true;
    each.awaited = {pollfd{fd, events, 0}, no_wait};
    each.look_at = look_at;
}

// A move that must wait: for its source, its destination, or both.
void wait_for_chunk(lane& each, awaited_end end) {
    const pollfd source{each.mover.source.fd, POLLIN, 0};
    const pollfd destination{each.mover.destination.fd, POLLOUT, 0};
    each.waiting = true;
    each.look_at = never;
    switch (end) {
    case awaited_end::source: each.awaited = {source, no_wait}; break;
    case awaited_end::destination: each.awaited = {destination, no_wait}; break;
    case awaited_end::both: each.awaited = {source, destination}; break;
    }
}

// The lane's waiting turn at the echo log. One record at a time goes in: while another lane's
// record is half written, this one waits for the log as well.
bool pass_record_on(lane& each, transfer_run& run) {
    if (each.echo.label == nullptr) {
        return true;
    }
    if (run.log_writer == nullptr || run.log_writer == &each) {
        if (write_echo_record(each.echo)) {
            run.log_writer = nullptr;
            return true;
        }
        run.log_writer = &each;
    }
    wait_until(each, run_state.echo_fd, POLLOUT, never);
    return false;
}

// Whether the partner still takes chunks from this lane's destination: then it, not this
// lane waiting for acknowledgements, watches what comes in.
bool partner_reads_destination(const lane& each, const transfer_run& run) {
    return !run.stopping && each.partner != nullptr && each.partner->state == lane_state::moving;
}

lane_turn serve_lingering(lane& each, transfer_run& run) {
    const int fd = each.mover.destination.fd;
    if (!each.input_ended) {
        const leftover_input input = throw_away_input(fd);
        if (input.state == leftover_input::failed) {
            fail(run, each, transfer_end::destination_failed, input.error, fd);
            return lane_turn::stopped;
        }
        each.input_ended = input.state == leftover_input::ended;
    }
    if (const int error = pending_socket_error(fd); error != 0) {
        fail(run, each, transfer_end::destination_failed, error, fd);
        return lane_turn::stopped;
    }
    if (each.input_ended || steady::now() >= each.linger_until) {
        each.state = lane_state::done;
        return lane_turn::stopped;
    }
    wait_until(each, fd, POLLIN, each.linger_until);
    return lane_turn::stopped;
}

lane_turn acknowledged(lane& each, transfer_run& run) {
    if (!each.on_end.lingers) {
        each.state = lane_state::done;
        return lane_turn::stopped;
    }
    each.state = lane_state::lingering;
    each.linger_until = steady::now() + linger_period;
    return serve_lingering(each, run);
}

lane_turn serve_acknowledging(lane& each, transfer_run& run) {
    const int fd = each.mover.destination.fd;
    const bool watches_input = !each.input_ended && !partner_reads_destination(each, run);
    if (watches_input) {
        const leftover_input input = throw_away_input(fd);
        if (input.state == leftover_input::failed) {
            fail(run, each, transfer_end::destination_failed, input.error, fd);
            return lane_turn::stopped;
        }
        each.input_ended = input.state == leftover_input::ended;
    }
    const acknowledgement ack = acknowledgement_of(fd);
    switch (ack.state) {
    case acknowledgement::failed:
        fail(run, each, transfer_end::destination_failed, ack.error, fd);
        return lane_turn::stopped;
    case acknowledgement::complete:
    case acknowledgement::unknown: return acknowledged(each, run);
    case acknowledgement::waiting: break;
    }
    if (each.last_queued >= 0 && ack.queued < each.last_queued) {
        run.progress = true;
        each.pause = first_pause;
    }
    each.last_queued = ack.queued;
    const bool still_watched = watches_input && !each.input_ended;
    wait_until(each, still_watched ? fd : -1, POLLIN, steady::now() + each.pause);
    each.pause = std::min(each.pause * 2, longest_pause);
    return lane_turn::stopped;
}

// Bytes the lane has taken from its source, the chunk in flight among them.
std::int64_t taken_by(const lane& each) {
    return each.moved + static_cast<std::int64_t>(each.mover.chunk.length);
}

// Bytes the lane's destination has taken.
std::int64_t delivered_by(const lane& each) {
    return each.moved + static_cast<std::int64_t>(each.mover.chunk.delivered);
}

// Whether the end that this lane read is still held back: the other peer (the partner's
// destination) has yet to acknowledge what the relay had taken from the peer to be told
// (this lane's destination) when the end was read.
bool end_held_back(lane& each) {
    const lane* partner = each.partner;
    if (partner == nullptr) {
        return false;
    }
    if (each.release_at < 0) {
        each.release_at = taken_by(*partner);
    }
    const std::int64_t acknowledged =
        delivered_by(*partner) -
        undelivered_bytes(partner->mover.destination.fd, partner->shut_down);
    return acknowledged < each.release_at;
}

lane_turn serve_ending(lane& each, transfer_run& run) {
    if (!pass_record_on(each, run)) {
        return lane_turn::stopped;
    }
    if (!each.on_end.passed_on) {
        if (each.on_end.closes_destination) {
            end_destination(each.mover);
        }
        each.state = lane_state::done;
        return lane_turn::stopped;
    }
    if (each.on_end.waits_for_the_other_way && end_held_back(each)) {
        // looked at again; a reset of the other peer meanwhile is seen by the transfer's
        // watch on its connection, and ends the hold as a failure
        wait_until(each, -1, 0, steady::now() + longest_pause);
        return lane_turn::stopped;
    }
    if (const int error = pass_end_on(each.mover.destination.fd); error != 0) {
        fail(run, each, transfer_end::destination_failed, error, each.mover.destination.fd);
        return lane_turn::stopped;
    }
    each.shut_down = true;
    each.state = lane_state::acknowledging;
    each.pause = first_pause;
    each.last_queued = -1;
    return serve_acknowledging(each, run);
}

// The source ended: the lane whose destination is the same connection knows that its input
// has nothing more to tell.
lane_turn source_ended(lane& each, transfer_run& run) {
    // between two connections the partner writes where this lane read the end
    if (each.partner != nullptr && each.partner->mover.destination.fd == each.mover.source.fd) {
        each.partner->input_ended = true;
    }
    if (each.mover.source.fd == STDIN_FILENO) {
        run.standard_input_ended = true;
    }
    if (each.on_end.ends_transfer && !run.stopping) {
        run.stopping = true;
        for (lane& other : run.lanes) {
            if (other.state == lane_state::moving) {
                other.waiting = false;  // its turn comes at once: it takes nothing more
            }
        }
    }
    each.state = lane_state::ending;
    return serve_ending(each, run);
}

// While a lane waits for room (or, a splice, for its source and room at once), its
// destination's queue is measured at every look: a fall is the reader's progress.
void look_for_progress(lane& each, transfer_run& run, const chunk_result& result) {
    if (result.awaited == awaited_end::source || !run.limit.in_force ||
        run.limit.period.count() <= 0) {
        each.look_at = never;
        return;
    }
    const int queued = queued_output(each.mover.destination.io_fd);
    if (queued >= 0 && each.last_queued >= 0 && queued < each.last_queued) {
        run.progress = true;
    }
    each.last_queued = queued;
    each.look_at = steady::now() + std::min(run.limit.period / 4, longest_progress_look);
}

// A move that took and delivered nothing, and now waits for one of its ends, leaves the other
// as ready as the wait found it: a splice that the wait found able to write, and that waits
// for its source, knows that both are ready once the source is (and takes that chunk by read).
ready_ends still_ready(ready_ends ready, awaited_end awaited) {
    switch (awaited) {
    case awaited_end::source: return {false, ready.destination};
    case awaited_end::destination: return {ready.source, false};
    case awaited_end::both: break;
    }
    return {};
}

// A chunk cut short by a failed write still delivered what the writes before took.
void account_partial(lane& each, const chunk_result& result) {
    if (result.kind == chunk_result::destination_failed && result.bytes > 0) {
        each.moved += static_cast<std::int64_t>(result.bytes);
        account_chunk(result.bytes,
                      result.seen.empty() ? result.seen : result.seen.first(result.bytes), false);
    }
}

lane_turn serve_moving(lane& each, transfer_run& run) {
    if (!pass_record_on(each, run)) {
        return lane_turn::stopped;
    }
    if (run.stopping && !chunk_in_flight_now(each.mover)) {
        each.state = lane_state::ending;  // the transfer ends: nothing new is taken
        return serve_ending(each, run);
    }
    const chunk_in_flight before = each.mover.chunk;
    const ready_ends ready = std::exchange(each.found_ready, {});
    const chunk_result result = move_chunk(each.mover, ready);
    switch (result.kind) {
    case chunk_result::moved: {
        run.progress = true;
        each.moved += static_cast<std::int64_t>(result.bytes);
        account_chunk(result.bytes, result.seen, each.with_dots);
        if (each.echo_label != nullptr && echo_log_in_use()) {
            each.echo = {each.echo_label, result.seen, 0};
            if (!pass_record_on(each, run)) {
                return lane_turn::stopped;
            }
        }
        const bool whole = result.bytes >= each.mover.buffered_move;
        return whole ? lane_turn::moved_whole : lane_turn::moved_short;
    }
    case chunk_result::must_wait: {
        const chunk_in_flight& now = each.mover.chunk;
        const bool taken = before.length == 0 && now.length > 0 &&
                           now.held != chunk_in_flight::place::file_position;
        const bool moved_any = taken || now.delivered > before.delivered;
        run.progress = run.progress || moved_any;
        wait_for_chunk(each, result.awaited);
        if (!moved_any) {
            each.found_ready = still_ready(ready, result.awaited);
        }
        look_for_progress(each, run, result);
        return lane_turn::stopped;
    }
    case chunk_result::source_ended: return source_ended(each, run);
    default: break;
    }
    account_partial(each, result);
    fail_by(run, each, result);
    return lane_turn::stopped;
}

lane_turn serve(lane& each, transfer_run& run) {
    switch (each.state) {
    case lane_state::moving: return serve_moving(each, run);
    case lane_state::ending: return serve_ending(each, run);
    case lane_state::acknowledging: return serve_acknowledging(each, run);
    case lane_state::lingering: return serve_lingering(each, run);
    case lane_state::done:
    case lane_state::failed: break;
    }
    return lane_turn::stopped;
}

bool is_connection(const stream_end& end) {
    return end.kind == stream_kind::own_socket;
}

// Whether bytes taken from one side have not all reached the other: a chunk in flight, bytes
// waiting unread on a connection whose lane still moves (it waits for room: it would have read
// them otherwise), or bytes that a connection's peer hasn't acknowledged.
bool bytes_stranded(std::span<const lane> lanes) {
    return std::any_of(lanes.begin(), lanes.end(), [](const lane& each) {
        if (chunk_in_flight_now(each.mover)) {
            return true;
        }
        if (each.state == lane_state::moving && is_connection(each.mover.source) &&
            unread_input(each.mover.source.fd) > 0) {
            return true;
        }
        return is_connection(each.mover.destination) &&
               undelivered_bytes(each.mover.destination.fd, each.shut_down) > 0;
    });
}

int milliseconds_until(steady::time_point when, steady::time_point now) {
    if (when == never) {
        return -1;
    }
    const auto left = std::chrono::ceil<milliseconds>(when - now).count();
    return left <= 0 ? 0 : static_cast<int>(std::min<long long>(left, INT_MAX));
}

// How long the wait may last: until the next look, or the end of the idle period.
int wait_timeout(std::span<const lane> lanes, const transfer_run& run,
                 steady::time_point last_progress) {
    steady::time_point until = never;
    for (const lane& each : lanes) {
        if (each.waiting && in_play(each)) {
            until = std::min(until, each.look_at);
        }
    }
    if (run.limit.in_force) {
        until = std::min(until, last_progress + run.limit.period);
    }
    return milliseconds_until(until, steady::now());
}

// Notes what the wait found ready of a moving lane's ends.
void note_ready(lane& each, const pollfd& ready) {
    if (ready.fd == each.mover.source.fd && ready.events == POLLIN) {
        each.found_ready.source = true;
    }
    if (ready.fd == each.mover.destination.fd && ready.events == POLLOUT) {
        each.found_ready.destination = true;
    }
}

// A lane is woken once everything it waits for was found ready, or at once when one of them
// has an error or a hang-up to tell: the next call tells what happened.
bool woken_by(lane& each, std::span<const pollfd> watched, std::size_t& next) {
    bool asked = false;
    bool all_ready = true;
    bool trouble = false;
    for (pollfd& awaited : each.awaited) {
        if (awaited.fd < 0) {
            continue;
        }
        asked = true;
        const short found = watched[next++].revents;
        if (found == 0) {
            all_ready = false;
            continue;
        }
        note_ready(each, awaited);
        trouble = trouble || (found & (POLLERR | POLLHUP | POLLNVAL)) != 0;
        awaited.fd = -1;
    }
    return asked && (all_ready || trouble);
}

// Marks the lanes that the wait found ready, or whose time to look again has come.
void wake_lanes(std::span<lane> lanes, std::span<const pollfd> watched) {
    const steady::time_point now = steady::now();
    std::size_t next = 0;
    for (lane& each : lanes) {
        if (!each.waiting || !in_play(each)) {
            continue;
        }
        const bool woken = woken_by(each, watched, next);
        each.waiting = !woken && each.look_at > now;
    }
}

// Nothing was ready, no lane is due to look again, and nothing moved for the whole period.
bool idle_for_the_period(std::span<const lane> lanes, const idle_limit& limit,
                         steady::time_point last_progress) {
    const steady::time_point now = steady::now();
    if (!limit.in_force || now - last_progress < limit.period) {
        return false;
    }
    return std::none_of(lanes.begin(), lanes.end(), [now](const lane& each) {
        return each.waiting && in_play(each) && each.look_at <= now;
    });
}

// What the lane did, as the transfer ends. After a failure or a timeout its connection's
// unacknowledged bytes are counted: a reset is about to throw them away.
lane_facts facts_of(const lane& each, const transfer_end& end) {
    lane_facts facts;
    facts.taken = taken_by(each);
    facts.delivered = delivered_by(each);
    facts.end_passed_on = each.shut_down;
    const bool cut_short =
        end.kind != transfer_end::completed && end.kind != transfer_end::interrupted;
    if (cut_short && is_connection(each.mover.destination)) {
        facts.unacknowledged = undelivered_bytes(each.mover.destination.fd, each.shut_down);
    }
    return facts;
}

// A chunk that the transfer's end cuts short still delivered what its writes took: those
// bytes reached their destination and are counted, with the checksum of what they were.
void count_delivered_part(lane& each) {
    const chunk_in_flight& chunk = each.mover.chunk;
    if (chunk.length == 0 || chunk.delivered == 0) {
        return;
    }
    const std::span<const unsigned char> seen =
        each.mover.needs_bytes
            ? std::span<const unsigned char>(each.mover.buffer).first(chunk.delivered)
            : std::span<const unsigned char>{};
    account_chunk(chunk.delivered, seen, false);
}

transfer_end with_facts(transfer_end end, transfer_run& run) {
    end.standard_input_ended = run.standard_input_ended;
    for (std::size_t i = 0; i < run.lanes.size() && i < end.lanes.size(); ++i) {
        end.lanes[i] = facts_of(run.lanes[i], end);
        count_delivered_part(run.lanes[i]);
    }
    return end;
}

}  // namespace

lane open_lane(transfer_side from, transfer_side to, std::span<unsigned char> buffer,
               bool needs_bytes, const char* echo_label, bool with_dots, bool chunks_seen) {
    const int from_fd = from.fd;
    const int to_fd = to.fd;
    const stream_kind from_kind = kind_of_stream(from_fd, from.connection);
    const stream_kind to_kind = kind_of_stream(to_fd, to.connection);
    std::span<unsigned char> usable = buffer;
    std::size_t buffered = buffer.size();
    move_route route = move_route::kernel_when_it_can;
    if (!chunks_keep_buffer_size(chunks_seen)) {
        const bool from_connection = from_kind == stream_kind::own_socket;
        const bool into_connection = to_kind == stream_kind::own_socket;
        const lane_ends ends{.from_file = is_regular_file(from_fd),
                             .into_file = is_regular_file(to_fd),
                             .from_connection = from_connection,
                             .into_connection = into_connection,
                             .into_tcp = into_connection && socket_is_tcp(to_fd),
                             .from_tcp = from_connection && socket_is_tcp(from_fd),
                             .into_pipe = type_of_descriptor(to_fd) == descriptor_type::pipe,
                             .bytes_needed = needs_bytes};
        if (ends.into_pipe && ends.bytes_needed) {
            grow_pipe(to_fd, unseen_pipe_capacity);
        }
        const move_limits limits = unseen_move_limits(ends);
        usable = buffer.first(
            std::min(buffer.size(), std::max(limits.in_kernel, limits.through_program)));
        buffered = std::min(usable.size(), limits.through_program);
        route = limits.route;
    }
    chunk_mover mover = open_mover(from_fd, from_kind, to_fd, to_kind, usable,
                                   needs_bytes || route == move_route::read_then_kernel,
                                   route != move_route::through_program);
    mover.buffered_move = buffered;
    lane opened{};
    opened.mover = mover;
    opened.echo_label = echo_label;
    opened.with_dots = with_dots;
    opened.state = lane_state::moving;
    opened.look_at = never;
    opened.last_queued = -1;
    opened.release_at = -1;
    return opened;
}

void pair_lanes(lane& one, lane& other) {
    one.partner = &other;
    other.partner = &one;
}

lane closing_lane(int fd, const lane_ending& on_end) {
    lane closing{};
    closing.mover.destination = {fd, fd, stream_kind::own_socket, descriptor_type::socket, O_RDWR};
    closing.on_end = on_end;
    closing.state = lane_state::ending;
    closing.look_at = never;
    closing.last_queued = -1;
    closing.release_at = -1;
    return closing;
}

namespace {

// The turns of a transfer, with Ctrl-C and Ctrl-\ held back: `outside` is the mask that the
// waits let them in by.
transfer_end run_held_lanes(std::span<lane> lanes, const idle_limit& limit,
                            const sigset_t& outside) {
    transfer_run run{};
    run.lanes = lanes;
    run.limit = limit;
    run.watches = watch_connections(lanes);
    std::vector<pollfd> watched;
    watched.reserve(lanes.size() * 2);
    steady::time_point last_progress = steady::now();
    int busy_turns = 0;
    steady::time_point next_interrupt_look = steady::now() + busy_interrupt_look;
    for (;;) {
        bool busy = false;
        bool short_move = false;
        for (lane& each : lanes) {
            if (!each.waiting && in_play(each)) {
                const lane_turn turn = serve(each, run);
                busy = busy || turn != lane_turn::stopped;
                short_move = short_move || turn == lane_turn::moved_short;
            }
            if (interrupt_seen != 0) {
                return with_facts({transfer_end::interrupted}, run);
            }
            if (run.failure) {
                return with_facts(*run.failure, run);
            }
        }
        if (std::exchange(run.progress, false)) {
            last_progress = steady::now();
        }
        watched.clear();
        bool any_waiting = false;
        for (const lane& each : lanes) {
            if (each.waiting && in_play(each)) {
                any_waiting = true;
                for (const pollfd& awaited : each.awaited) {
                    if (awaited.fd >= 0) {
                        watched.push_back(awaited);
                    }
                }
            }
        }
        if (!any_waiting && !busy) {
            return with_facts({transfer_end::completed}, run);
        }
        const std::size_t lanes_watched = watched.size();
        const std::size_t watches = add_watches(watched, run.watches, lanes);
        if (busy && !any_waiting) {
            const steady::time_point now = steady::now();
            if (now < next_interrupt_look) {
                continue;
            }
            next_interrupt_look = now + busy_interrupt_look;
        } else if (busy && !short_move && ++busy_turns < busy_turns_between_looks) {
            continue;
        }
        busy_turns = 0;
        // A lane that still moves chunks must not wait for the others: they are only looked at.
        const int ready = poll_letting_interrupts_in(
            watched.data(), watched.size(), busy ? 0 : wait_timeout(lanes, run, last_progress),
            outside, interrupt_seen);
        if (interrupt_seen != 0) {
            return with_facts({transfer_end::interrupted}, run);
        }
        if (ready < 0 && errno != EINTR) {
            return with_facts({transfer_end::wait_failed, errno}, run);
        }
        if (ready == 0 && !busy && idle_for_the_period(lanes, limit, last_progress)) {
            transfer_end end{transfer_end::timed_out};
            end.stranded = bytes_stranded(lanes);
            return with_facts(end, run);
        }
        if (ready > 0 && watches > 0) {
            const std::span<const pollfd> found(watched);
            if (auto reset = note_watches(run.watches, found.subspan(lanes_watched, watches))) {
                return with_facts(*reset, run);
            }
        }
        if (ready >= 0) {
            wake_lanes(lanes, std::span<const pollfd>(watched).first(lanes_watched));
        }
    }
}

}  // namespace

// Ctrl-C and Ctrl-\ are let in only while the transfer waits or looks at its waiting lanes,
// each wait one call: their handler, which closes descriptors by number, never runs in the
// middle of a move, and a move never blocks (a read or write that may is let in on its own, by
// read_interruptibly and write_interruptibly).
transfer_end run_lanes(std::span<lane> lanes, const idle_limit& limit) {
    const sigset_t outside = hold_interrupts_back();
    const transfer_end end = run_held_lanes(lanes, limit, outside);
    restore_signal_mask(outside);  // one that came after the last look is delivered here
    return end;
}
