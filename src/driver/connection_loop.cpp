// SPDX-License-Identifier: BSD-2-Clause
#include "driver/connection_loop.hpp"

#include "driver/startup.hpp"
#include "endpoints/close_connection.hpp"
#include "platform/descriptor.hpp"
#include "platform/platform.hpp"
#include "state/run_state.hpp"
#include "terminal/interrupt.hpp"
#include "transfer/chunk_accounting.hpp"
#include "transfer/connection_end.hpp"
#include "transfer/relay.hpp"
#include "transfer/relay_close.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <span>
#include <unistd.h>

namespace {

[[noreturn]] void die(const char* message) {
    std::fputs(message, stderr);
    std::exit(1);
}

// Closes a descriptor of run_state and forgets it first, so that the interrupt handler can
// never close the number once a later socket or file has taken it.
void forget_and_close(descriptor_field* slot) {
    const int fd = *slot;
    *slot = -1;
    close(fd);
}

void accept_peer() {
    if (run_state.listen_fd == -1 &&
        run_state.listen_fn(&run_state.listen_fd, nullptr, run_state.listen_port) != 0) {
        die("error creating server socket\n");
    }
    if (run_state.accept_fn(&run_state.data_fd, run_state.listen_fd) != 0) {
        die("error accepting connections\n");
    }
    // A listener without --continue serves exactly one peer: later clients are refused.
    if (!has_flag(FLAG_CONTINUE)) {
        forget_and_close(&run_state.listen_fd);
    }
}

void connect_to(descriptor_field* slot) {
    if (run_state.connect_fn(slot, run_state.host, run_state.connect_port) != 0) {
        die("error connecting socket\n");
    }
}

bool relay_mode() {
    return has_flag(FLAG_LISTEN) && has_flag(FLAG_HOST);
}

// Takes a data socket out of run_state before it is closed, so that the interrupt handler
// can't close its number again once a later socket or file has taken it.
int take_data_socket(descriptor_field* slot) {
    const int fd = *slot;
    *slot = -1;
    return fd;
}

// A relay that can't reach its server cuts the peer it accepted: a client receiving through
// it must not take an empty stream for a complete one.
void connect_onward() {
    if (run_state.connect_fn(&run_state.relay_fd, run_state.host, run_state.connect_port) != 0) {
        close_with_reset(take_data_socket(&run_state.data_fd));
        die("error connecting socket\n");
    }
}

void set_up_endpoints() {
    if (has_flag(FLAG_LISTEN)) {
        accept_peer();
        if (relay_mode()) {
            connect_onward();
        }
    } else {
        connect_to(&run_state.data_fd);
    }
    prepare_connection(run_state.data_fd);
    if (relay_mode()) {
        prepare_connection(run_state.relay_fd);
    }
}

void report_failure(const char* label, int error) {
    if (error == source_changed_error) {
        std::fprintf(stderr, "%s: file changed while being sent\n", label);
        return;
    }
    errno = error;
    std::perror(label);
}

bool is_failure(const transfer_end& end) {
    return end.kind == transfer_end::source_failed || end.kind == transfer_end::destination_failed;
}

// The source's end, an interrupt, or a failure that the interrupt handler caused by closing
// the descriptor under the call.
bool ended_quietly(const transfer_end& end) {
    return !is_failure(end) || failed_by_interrupt(end.error);
}

// What the end of a one-way copy means for the run: 0, or 1 once a failure is reported. A
// failed read is reported under `source_label`, a failed write under "write".
int judge_copy_end(const transfer_end& end, const char* source_label) {
    if (end.kind == transfer_end::wait_failed) {
        report_failure("select", end.error);
        return 1;
    }
    if (ended_quietly(end)) {
        return 0;
    }
    if (end.kind == transfer_end::source_failed) {
        report_failure(source_label, end.error);
        return 1;
    }
    // A one-way sender never shuts its side down while it sends: a TCP write that finds the
    // connection shut (EPIPE, once a call has taken the reset's own error) met a reset.
    const bool reset = end.error == EPIPE && is_socket(end.fd) && socket_is_tcp(end.fd);
    report_failure("write", reset ? ECONNRESET : end.error);
    return 1;
}

// A connection whose peer had ended its side and went away: our write finds it shut (EPIPE),
// which is the end of a transfer in either direction, not a cut.
bool peer_had_ended(const transfer_end& end) {
    return end.kind == transfer_end::destination_failed && end.error == EPIPE && is_socket(end.fd);
}

// A two-way transfer or a relay: a connection that resets or fails cut what it carried, and
// so does standard input or output that fails. Each is reported.
int judge_two_way_end(const transfer_end& end) {
    if (end.kind == transfer_end::wait_failed) {
        return 1;  // the transfer reported it: the run can't tell what was still to come
    }
    if (ended_quietly(end) || peer_had_ended(end)) {
        return 0;
    }
    report_failure(end.kind == transfer_end::source_failed ? "read" : "write", end.error);
    return 1;
}

// The start of a progress line, whose dots and end follow.
void open_progress_line() {
    run_state.progress_line_open = 1;
}

// Ends the progress line: " done." after a quiet end, a bare line end before a failure's
// message.
void close_progress_line(const transfer_end& end) {
    std::fputs(ended_quietly(end) && end.kind != transfer_end::wait_failed ? " done.\n" : "\n",
               stderr);
    run_state.progress_line_open = 0;
}

void verbose_start(const char* text) {
    if (has_flag(FLAG_VERBOSE)) {
        std::fputs(text, stderr);
        open_progress_line();
    }
}

void verbose_end(const transfer_end& end) {
    if (has_flag(FLAG_VERBOSE)) {
        close_progress_line(end);
    }
}

// How a cycle's transfer went.
struct cycle_outcome {
    int status;                 // 0, or 1 after a reported failure
    bool stream_cut;            // a failure lost data on its way through the connection
    bool standard_input_ended;  // standard input was read to its end
    bool interrupted;           // Ctrl-C or Ctrl-\ ended it
    int ended_source = -1;      // the descriptor whose end of data ended the transfer
};

cycle_outcome outcome_of(const transfer_end& end, int status, bool input_ended) {
    const int ended = end.kind == transfer_end::source_ended ? end.fd : -1;
    return {status, status != 0, input_ended, end.kind == transfer_end::interrupted, ended};
}

// A file that can't be opened is reported and the others are still sent; the status is 1.
cycle_outcome send_operands(std::span<char*> operands) {
    cycle_outcome outcome{};
    for (char* operand : operands) {
        if (interrupt_seen != 0) {
            outcome.interrupted = true;
            break;
        }
        const int fd = open(operand, O_RDONLY);
        if (fd < 0) {
            std::perror(operand);
            outcome.status = 1;
            continue;
        }
        if (!has_flag(FLAG_QUIET)) {
            std::fprintf(stderr, "sending file %s ", operand);
            open_progress_line();
        }
        const transfer_end end = file_copy(fd, run_state.data_fd);
        if (!has_flag(FLAG_QUIET)) {
            close_progress_line(end);
        }
        if (judge_copy_end(end, operand) != 0) {
            outcome = {1, true, false, false};
        }
        if (close(fd) != 0) {
            std::perror(operand);
        }
        if (end.kind != transfer_end::source_ended) {
            // The stream is cut, the connection gone or the run interrupted: the remaining
            // operands would be lost on the way.
            outcome.interrupted = end.kind == transfer_end::interrupted;
            break;
        }
    }
    return outcome;
}

cycle_outcome move_two_way() {
    const int near_in = relay_mode() ? run_state.data_fd : STDIN_FILENO;
    const int far_in = relay_mode() ? run_state.relay_fd : run_state.data_fd;
    const int near_out = relay_mode() ? run_state.data_fd : STDOUT_FILENO;
    const int far_out = far_in;
    const transfer_end end = relay_loop(near_in, far_in, near_out, far_out);
    const bool input_ended =
        !relay_mode() && end.kind == transfer_end::source_ended && end.fd == STDIN_FILENO;
    return outcome_of(end, judge_two_way_end(end), input_ended);
}

cycle_outcome move_local_side(std::span<char*> operands) {
    if (has_flag(FLAG_INPUT) && has_flag(FLAG_OUTPUT)) {
        return move_two_way();
    }
    if (!operands.empty()) {
        return send_operands(operands);
    }
    if (has_flag(FLAG_OUTPUT)) {
        verbose_start("receiving ");
        const transfer_end end = stdio_copy(run_state.data_fd, STDOUT_FILENO);
        verbose_end(end);
        return outcome_of(end, judge_copy_end(end, "read"), false);
    }
    verbose_start("sending ");
    const transfer_end end = stdio_copy(STDIN_FILENO, run_state.data_fd);
    verbose_end(end);
    return outcome_of(end, judge_copy_end(end, "read"), end.kind == transfer_end::source_ended);
}

// A listener that sends was given no connect port; it names the port it listens on.
const char* summary_port() {
    return run_state.connect_port != nullptr ? run_state.connect_port : run_state.listen_port;
}

void print_summary(const timeval& start, const timeval& end) {
    if (has_flag(FLAG_QUIET)) {
        return;
    }
    const double seconds = elapsed_seconds(start, end);
    const double rate = static_cast<double>(run_state.byte_count) / seconds / 1024;
    const long long bytes = run_state.byte_count;
    if (has_flag(FLAG_INPUT) && has_flag(FLAG_OUTPUT)) {
        std::fprintf(stderr, "%lli bytes transfered in %.2f seconds (%.2f K/s)\n", bytes, seconds,
                     rate);
    } else if (has_flag(FLAG_OUTPUT)) {
        std::fprintf(stderr, "%lli bytes written to stdout in %.2f seconds (%.2f K/s)\n", bytes,
                     seconds, rate);
    } else {
        std::fprintf(stderr, "%lli bytes written to %s:%s in %.2f seconds (%.2f K/s)\n", bytes,
                     run_state.host, summary_port(), seconds, rate);
    }
}

// The summary counts what reached the peers: bytes that a reset threw away left ferrox's
// buffers but never arrived.
void forget_undelivered(int bytes) {
    run_state.byte_count -= std::min<std::int64_t>(bytes, run_state.byte_count);
}

// Closes a connection with a reset, without counting what the reset throws away.
void cut_connection(int fd) {
    forget_undelivered(undelivered_bytes(fd, false));
    close_with_reset(fd);
}

// What the close of a connection told: 0, or 1 once a failure is reported. In a two-way
// transfer or a relay, a peer that had ended its side (its reset then reads EPIPE) ended the
// transfer, as its end of data always does.
int judge_close_end(const close_end& end) {
    forget_undelivered(end.undelivered);
    const bool two_way = has_flag(FLAG_INPUT) && has_flag(FLAG_OUTPUT);
    switch (end.kind) {
    case close_end::reset_by_peer:
        if (two_way && end.error == EPIPE) {
            return 0;
        }
        // The bytes written did not all arrive. A reset that came after the peer's own end
        // of data reads EPIPE, but it is a reset all the same.
        report_failure("write", end.error == EPIPE ? ECONNRESET : end.error);
        return 1;
    case close_end::timed_out:
        std::fprintf(stderr, "timeout: %d bytes left unacknowledged\n", end.undelivered);
        return 1;
    case close_end::delivered:
    case close_end::interrupted: break;
    }
    return 0;
}

// The terms of this cycle's orderly closes.
close_terms terms_of_close() {
    const bool two_way = has_flag(FLAG_INPUT) && has_flag(FLAG_OUTPUT);
    close_terms terms{!two_way && has_flag(FLAG_INPUT), {}};
    if (two_way && !idle_limit_from(run_state.timeout, terms.limit)) {
        terms.limit = {};  // a period no wait can take was reported by the transfer
    }
    return terms;
}

int close_both_relay_sockets(int data_fd, int relay_fd, int ended_source) {
    const relay_close_end end = close_relay(data_fd, relay_fd, ended_source, terms_of_close());
    const int status = judge_close_end(end.first);
    if (end.cut) {
        forget_undelivered(end.second.undelivered);  // passed on: its peer is told by the reset
        return status;
    }
    return status | judge_close_end(end.second);
}

// Closes the cycle's data sockets. After a failure that lost data, with a reset, so that the
// peer can't take the cut stream for a complete one; otherwise in order, waiting until each
// peer has everything. Returns 0, or 1 once a failure of a close is reported.
int close_data_sockets(const cycle_outcome& outcome) {
    const int data_fd = take_data_socket(&run_state.data_fd);
    const int relay_fd = relay_mode() ? take_data_socket(&run_state.relay_fd) : -1;
    if (outcome.stream_cut) {
        cut_connection(data_fd);
        cut_connection(relay_fd);
        return 0;
    }
    if (data_fd < 0) {
        close_plainly(relay_fd);  // the interrupt handler closed the other
        return 0;
    }
    if (relay_fd >= 0) {
        return close_both_relay_sockets(data_fd, relay_fd, outcome.ended_source);
    }
    const bool shut_down = begin_orderly_close(data_fd);
    return judge_close_end(finish_orderly_close(data_fd, shut_down, terms_of_close()));
}

cycle_outcome run_cycle(std::span<char*> operands) {
    run_state.byte_count = 0;
    if (echo_log_in_use()) {
        std::fputs("=============\n", run_state.echo_stream);
    }
    set_up_endpoints();
    timeval start{};
    gettimeofday(&start, nullptr);
    cycle_outcome outcome = move_local_side(operands);
    timeval end{};
    gettimeofday(&end, nullptr);
    outcome.status |= close_data_sockets(outcome);
    print_summary(start, end);
    return outcome;
}

// A --continue run starts no new cycle once Ctrl-C has been pressed, nor for a client
// whose standard input (not a terminal, where Ctrl-D ends one session) has run out: it
// would connect and send nothing, again and again.
bool next_cycle_wanted(const cycle_outcome& last) {
    if (!has_flag(FLAG_CONTINUE) || interrupt_seen != 0) {
        return false;
    }
    const bool client = !has_flag(FLAG_LISTEN);
    return !(client && last.standard_input_ended && isatty(STDIN_FILENO) == 0);
}

int end_of_run(int status) {
    if (echo_log_in_use()) {
        std::fclose(run_state.echo_stream);
    }
    leave_terminal_and_socket_file();
    if (has_flag(FLAG_SUM)) {
        std::fprintf(stderr, "checksum: %u\n", static_cast<unsigned>(run_state.checksum));
    }
    return status | (echo_log_failed() ? 1 : 0);
}

}  // namespace

double elapsed_seconds(const timeval& start, const timeval& end) {
    return (static_cast<double>(end.tv_sec) - static_cast<double>(start.tv_sec)) +
           static_cast<double>(end.tv_usec) / 1000000 -
           static_cast<double>(start.tv_usec) / 1000000;
}

int run_connection_loop(int operand_count, char** operands) {
    const std::span<char*> operand_list{operands, static_cast<std::size_t>(operand_count)};
    int status = 0;
    cycle_outcome last{};
    do {
        last = run_cycle(operand_list);
        status |= last.status;
    } while (next_cycle_wanted(last));
    return end_of_run(status);
}
