// SPDX-License-Identifier: BSD-2-Clause
#include "transfer/transfer_loop.hpp"

#include "platform/descriptor.hpp"
#include "platform/platform.hpp"
#include "state/run_state.hpp"
#include "transfer/chunk_accounting.hpp"
#include "transfer/move_size.hpp"

#include <algorithm>
#include <cerrno>
#include <optional>
#include <sys/socket.h>
#include <utility>
#include <vector>

namespace {

// A write to a connection that its peer reset fails with EPIPE once the reset has been
// taken note of; the connection still holds the reset's own error, which says more.
int error_of_write(const chunk_result& result) {
    if (result.error != EPIPE || !is_socket(result.fd)) {
        return result.error;
    }
    const int error = pending_socket_error(result.fd);
    return error != 0 ? error : result.error;
}

transfer_end end_of(const chunk_result& result, int from_fd) {
    switch (result.kind) {
    case chunk_result::source_failed: return {transfer_end::source_failed, result.error, result.fd};
    case chunk_result::destination_failed:
        return {transfer_end::destination_failed, error_of_write(result), result.fd};
    default: break;
    }
    return {transfer_end::source_ended, 0, from_fd};
}

// Whether a lane that the wait found ready, with no chunk in flight, was told to wait for the
// same thing again: its move took nothing although the source or destination it waited for
// is ready.
bool ready_yet_idle(const lane& each, const chunk_result& result) {
    return result.kind == chunk_result::must_wait && result.fd == each.awaited.fd &&
           result.events == each.awaited.events && !chunk_in_flight_now(each.mover);
}

// Whether the lane holds bytes that it must still pass on: a chunk in flight, or its record
// for the echo log.
bool holds_bytes(const lane& each) {
    return chunk_in_flight_now(each.mover) || each.echo.label != nullptr;
}

// The lane's waiting turn at the echo log. One record at a time goes in: while another lane's
// record is half written, this one waits for the log as well.
bool pass_record_on(lane& each, const lane*& log_writer) {
    if (log_writer == nullptr || log_writer == &each) {
        if (write_echo_record(each.echo)) {
            log_writer = nullptr;
            return true;
        }
        log_writer = &each;
    }
    each.waiting = true;
    each.awaited = {run_state.echo_fd, POLLOUT, 0};
    return false;
}

// What a lane did in its turn.
enum class lane_turn : std::uint8_t {
    stopped,      // it waits, or has finished
    moved_whole,  // it moved a whole move's worth and may move more at once
    moved_short,  // it moved less: its source may have run dry
};

// Moves the lane's next chunk.
lane_turn serve(lane& each, bool ending, const lane*& log_writer,
                std::optional<transfer_end>& end) {
    if (each.echo.label != nullptr && !pass_record_on(each, log_writer)) {
        return lane_turn::stopped;
    }
    if (ending && !chunk_in_flight_now(each.mover)) {
        each.finished = true;  // the transfer ends: nothing new is taken
        return lane_turn::stopped;
    }
    chunk_result result = move_chunk(each.mover);
    if (std::exchange(each.woken, false) && ready_yet_idle(each, result)) {
        // Ready, yet the kernel's route took nothing: a TCP socket's splice stops short of an
        // urgent byte while poll reports the socket readable, and waiting again would spin.
        // The plain route reads past it; the kernel's route takes the chunks after it.
        result = move_chunk_plainly(each.mover);
    }
    switch (result.kind) {
    case chunk_result::moved: {
        account_chunk(result.bytes, result.seen, each.with_dots);
        if (each.echo_label != nullptr && echo_log_in_use()) {
            each.echo = {each.echo_label, result.seen, 0};
            if (!pass_record_on(each, log_writer)) {
                return lane_turn::stopped;
            }
        }
        const bool whole = result.bytes >= each.mover.buffered_move;
        return whole ? lane_turn::moved_whole : lane_turn::moved_short;
    }
    case chunk_result::must_wait:
        each.waiting = true;
        each.awaited = {result.fd, result.events, 0};
        return lane_turn::stopped;
    default: break;
    }
    each.finished = true;
    // A chunk that fails on its way after the transfer began to end is lost all the same: the
    // failure, not the quiet end before it, is what the transfer reports.
    if (!end ||
        (end->kind == transfer_end::source_ended && result.kind != chunk_result::source_ended)) {
        end = end_of(result, each.mover.from_fd);
    }
    return lane_turn::stopped;
}

// While one lane keeps moving whole chunks, the lanes that wait are looked at after this many
// turns, or at once after a short move: a poll per chunk would double a busy relay's calls.
constexpr int busy_turns_between_looks = 4;

// Whether any of `watched` is ready now, without waiting.
wait_outcome poll_without_waiting(std::span<pollfd> watched) {
    int ready = 0;
    while ((ready = poll(watched.data(), watched.size(), 0)) < 0 && errno == EINTR) {
    }
    return ready > 0 ? wait_outcome::ready : ready == 0 ? wait_outcome::idle : wait_outcome::failed;
}

}  // namespace

bool own_connection(int fd) {
    return fd >= 0 && (fd == run_state.data_fd || fd == run_state.relay_fd);
}

lane open_lane(int from_fd, int to_fd, std::span<unsigned char> buffer, bool needs_bytes,
               const char* echo_label, bool with_dots, bool chunks_seen) {
    const stream_kind from_kind = kind_of_stream(from_fd, own_connection(from_fd));
    const stream_kind to_kind = kind_of_stream(to_fd, own_connection(to_fd));
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
    return {mover, echo_label, with_dots, false, false, false, {}, {}};
}

transfer_end run_lanes(std::span<lane> lanes, const idle_limit& limit) {
    std::optional<transfer_end> end;
    const lane* log_writer = nullptr;  // the lane whose echo record is half written
    std::vector<pollfd> watched;
    watched.reserve(lanes.size());
    int busy_turns = 0;
    for (;;) {
        bool busy = false;
        bool short_move = false;
        for (lane& each : lanes) {
            if (!each.waiting && !each.finished) {
                const lane_turn turn = serve(each, end.has_value(), log_writer, end);
                busy = busy || turn != lane_turn::stopped;
                short_move = short_move || turn == lane_turn::moved_short;
            }
            if (interrupt_seen != 0) {
                return {transfer_end::interrupted};
            }
        }
        watched.clear();
        for (lane& each : lanes) {
            if (end && !holds_bytes(each)) {
                each.finished = true;  // the transfer ends: a lane waits only to deliver
            }
            if (each.waiting && !each.finished) {
                watched.push_back(each.awaited);
            }
        }
        if (watched.empty() && !busy) {
            return end.value_or(transfer_end{transfer_end::source_ended});
        }
        if (busy && (watched.empty() || (!short_move && ++busy_turns < busy_turns_between_looks))) {
            continue;
        }
        busy_turns = 0;
        // A lane that still moves chunks must not wait for the others: they are only looked at.
        const wait_outcome outcome =
            busy ? poll_without_waiting(watched) : wait_for_any(watched, limit);
        switch (outcome) {
        case wait_outcome::interrupted: return {transfer_end::interrupted};
        case wait_outcome::failed: return {transfer_end::wait_failed, errno};
        case wait_outcome::idle:
            if (!busy) {
                return {transfer_end::timed_out};
            }
            break;
        case wait_outcome::ready: break;
        }
        std::size_t next = 0;
        for (lane& each : lanes) {
            if (each.waiting && !each.finished) {
                each.woken = watched[next++].revents != 0;
                each.waiting = !each.woken;
            }
        }
    }
}
