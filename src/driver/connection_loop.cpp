// SPDX-License-Identifier: BSD-2-Clause
#include "driver/connection_loop.hpp"

#include "driver/end_policy.hpp"
#include "driver/run_report.hpp"
#include "driver/startup.hpp"
#include "endpoints/close_connection.hpp"
#include "platform/descriptor.hpp"
#include "platform/platform.hpp"
#include "state/run_state.hpp"
#include "terminal/interrupt.hpp"
#include "transfer/chunk_accounting.hpp"
#include "transfer/copy.hpp"
#include "transfer/relay.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <span>
#include <unistd.h>

namespace {

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
        end_run_with("error creating server socket\n");
    }
    if (run_state.accept_fn(&run_state.data_fd, run_state.listen_fd) != 0) {
        end_run_with("error accepting connections\n");
    }
    // A listener without --continue serves exactly one peer: later clients are refused.
    if (!has_flag(FLAG_CONTINUE)) {
        forget_and_close(&run_state.listen_fd);
    }
}

void connect_to(descriptor_field* slot) {
    if (run_state.connect_fn(slot, run_state.host, run_state.connect_port) != 0) {
        end_run_with("error connecting socket\n");
    }
}

bool relay_mode() {
    return has_flag(FLAG_LISTEN) && has_flag(FLAG_HOST);
}

// The cycle's connection: the accepted peer, or the one a client made.
transfer_side data_connection() {
    return {run_state.data_fd, true};
}

// Standard output closed at start holds /dev/null only to keep its number from a socket:
// what a transfer wrote there would reach nobody. Such a transfer fails at its start as a
// write to the closed descriptor would (EBADF), and no cycle follows, since each would fail
// alike. (A closed standard input reads as an empty one: nothing is lost.)
bool writes_closed_output() {
    return has_flag(FLAG_OUTPUT) && !relay_mode() && closed_at_start(STDOUT_FILENO);
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
        end_run_with("error connecting socket\n");
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

// Once every chunk went, a one-way sender passes its end on and waits until the peer has
// everything: a reset then is a failure of the transfer like any other.
end_verdict finish_and_judge_sending(end_verdict sent) {
    if (sent.status != 0 || sent.interrupted || run_state.data_fd < 0) {
        return sent;
    }
    const transfer_end end = finish_sending(run_state.data_fd);
    end_verdict finished = judge_end(end, {"read", false});
    finished.standard_input_ended = sent.standard_input_ended;
    return finished;
}

// A file that can't be opened is reported and the others are still sent; the status is 1.
end_verdict send_operands(std::span<char*> operands) {
    end_verdict outcome{};
    for (char* operand : operands) {
        if (interrupt_seen != 0) {
            outcome.interrupted = true;
            break;
        }
        const int fd = open(operand, O_RDONLY);
        if (fd < 0) {
            outcome.status |= judge_unopened_file(operand, errno).status;
            continue;
        }
        announce_file(operand);
        const transfer_end end = file_copy({fd, false}, data_connection());
        const end_verdict copied = judge_end(end, {operand, false});
        if (close(fd) != 0) {
            report_file_close_failure(operand, errno);
        }
        if (end.kind != transfer_end::completed) {
            // The stream is cut, the connection gone or the run interrupted: the remaining
            // operands would be lost on the way.
            return copied;
        }
    }
    const int unopened = outcome.status;
    outcome = finish_and_judge_sending(outcome);
    outcome.status |= unopened;
    return outcome;
}

end_verdict move_two_way() {
    if (relay_mode()) {
        const transfer_side accepted = data_connection();
        const transfer_side onward{run_state.relay_fd, true};
        return judge_end(relay_loop(accepted, accepted, onward), {"read", true});
    }
    return judge_end(relay_loop({STDIN_FILENO, false}, {STDOUT_FILENO, false}, data_connection()),
                     {"read", true});
}

end_verdict move_local_side(std::span<char*> operands) {
    if (writes_closed_output()) {
        return judge_closed_output();
    }
    if (has_flag(FLAG_INPUT) && has_flag(FLAG_OUTPUT)) {
        return move_two_way();
    }
    if (!operands.empty()) {
        return send_operands(operands);
    }
    if (has_flag(FLAG_OUTPUT)) {
        announce_stream("receiving ");
        return judge_end(stdio_copy(data_connection(), {STDOUT_FILENO, false}), {"read", false});
    }
    announce_stream("sending ");
    return finish_and_judge_sending(
        judge_end(stdio_copy({STDIN_FILENO, false}, data_connection()), {"read", false}));
}

// The summary counts what reached the peers: bytes that a reset threw away left ferrox's
// buffers but never arrived, and only bytes that were counted can be taken back.
void forget_undelivered(int bytes) {
    run_state.byte_count -= std::min<std::int64_t>(bytes, run_state.byte_count);
}

// Closes the cycle's data sockets: with a reset after a failure that lost data or a timeout
// that left some undelivered, so that no peer can take its cut stream for a complete one;
// plainly otherwise, once the transfer has seen every byte acknowledged.
void close_data_sockets(const end_verdict& outcome) {
    const int data_fd = take_data_socket(&run_state.data_fd);
    const int relay_fd = relay_mode() ? take_data_socket(&run_state.relay_fd) : -1;
    if (outcome.cut) {
        forget_undelivered(outcome.undelivered);
        close_with_reset(data_fd);
        close_with_reset(relay_fd);
        return;
    }
    for (const int fd : {data_fd, relay_fd}) {
        if (fd >= 0) {
            close_plainly(fd);  // the interrupt handler may have closed the other
        }
    }
}

end_verdict run_cycle(std::span<char*> operands) {
    run_state.byte_count = 0;
    if (echo_log_in_use()) {
        std::fputs("=============\n", run_state.echo_stream);
    }
    set_up_endpoints();
    timeval start{};
    gettimeofday(&start, nullptr);
    const end_verdict outcome = move_local_side(operands);
    timeval end{};
    gettimeofday(&end, nullptr);
    close_data_sockets(outcome);
    print_summary(start, end);
    return outcome;
}

// A --continue run starts no new cycle once Ctrl-C has been pressed, nor for a client
// whose standard input (not a terminal, where Ctrl-D ends one session) has run out: it
// would connect and send nothing, again and again; nor where standard output was closed at
// start.
bool next_cycle_wanted(const end_verdict& last) {
    if (!has_flag(FLAG_CONTINUE) || interrupt_seen != 0 || writes_closed_output()) {
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
    print_checksum();
    return judge_run(status);
}

}  // namespace

int run_connection_loop(int operand_count, char** operands) {
    const std::span<char*> operand_list{operands, static_cast<std::size_t>(operand_count)};
    int status = 0;
    end_verdict last{};
    do {
        last = run_cycle(operand_list);
        status |= last.status;
    } while (next_cycle_wanted(last));
    return end_of_run(status);
}
