#include "driver/connection_loop.hpp"

#include "driver/run_state.hpp"
#include "driver/startup.hpp"
#include "endpoints/close_connection.hpp"
#include "terminal/tty.hpp"
#include "transfer/relay.hpp"

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <span>
#include <unistd.h>

namespace {

// Set when a write failed for a reason other than an interrupt or a peer that went away, or
// a two-way transfer could not start: the run then ends with status 1, after its summary and
// end of run.
bool transfer_failed = false;

[[noreturn]] void die(const char* message) {
    std::fputs(message, stderr);
    std::exit(1);
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
        close(run_state.listen_fd);
    }
}

void connect_to(int* slot) {
    if (run_state.connect_fn(slot, run_state.host, run_state.connect_port) != 0) {
        die("error connecting socket\n");
    }
}

bool relay_mode() {
    return has_flag(FLAG_LISTEN) && has_flag(FLAG_HOST);
}

void set_up_endpoints() {
    if (has_flag(FLAG_LISTEN)) {
        accept_peer();
        if (relay_mode()) {
            connect_to(&run_state.relay_fd);
        }
    } else {
        connect_to(&run_state.data_fd);
    }
}

void note_copy_end(copy_end end) {
    if (end == copy_end::write_failed) {
        transfer_failed = true;
    }
}

void verbose_note(const char* text) {
    if (has_flag(FLAG_VERBOSE)) {
        std::fputs(text, stderr);
    }
}

void send_operands(std::span<char*> operands) {
    for (char* operand : operands) {
        const int fd = open(operand, O_RDONLY);
        if (fd < 0) {
            std::perror(operand);
            continue;
        }
        if (!has_flag(FLAG_QUIET)) {
            std::fprintf(stderr, "sending file %s ", operand);
        }
        const copy_end end = file_copy(fd, run_state.data_fd);
        if (!has_flag(FLAG_QUIET)) {
            std::fputs(" done.\n", stderr);
        }
        if (close(fd) != 0) {
            std::perror(operand);
        }
        note_copy_end(end);
        if (end != copy_end::source_ended) {
            // The connection is gone: the remaining operands would be lost on the way.
            return;
        }
    }
}

void move_local_side(std::span<char*> operands) {
    if (has_flag(FLAG_INPUT) && has_flag(FLAG_OUTPUT)) {
        const relay_end end = relay_mode() ? relay_loop(run_state.data_fd, run_state.relay_fd,
                                                        run_state.data_fd, run_state.relay_fd)
                                           : relay_loop(STDIN_FILENO, run_state.data_fd,
                                                        STDOUT_FILENO, run_state.data_fd);
        if (end != relay_end::finished) {
            transfer_failed = true;
        }
    } else if (!operands.empty()) {
        send_operands(operands);
    } else if (has_flag(FLAG_OUTPUT)) {
        verbose_note("receiving ");
        note_copy_end(stdio_copy(run_state.data_fd, STDOUT_FILENO));
        verbose_note(" done.\n");
    } else {
        verbose_note("sending ");
        note_copy_end(stdio_copy(STDIN_FILENO, run_state.data_fd));
        verbose_note(" done.\n");
    }
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
    const long bytes = run_state.byte_count;
    if (has_flag(FLAG_INPUT) && has_flag(FLAG_OUTPUT)) {
        std::fprintf(stderr, "%li bytes transfered in %.2f seconds (%.2f K/s)\n", bytes, seconds,
                     rate);
    } else if (has_flag(FLAG_OUTPUT)) {
        std::fprintf(stderr, "%li bytes written to stdout in %.2f seconds (%.2f K/s)\n", bytes,
                     seconds, rate);
    } else {
        std::fprintf(stderr, "%li bytes written to %s:%s in %.2f seconds (%.2f K/s)\n", bytes,
                     run_state.host, summary_port(), seconds, rate);
    }
}

void run_cycle(std::span<char*> operands) {
    run_state.byte_count = 0;
    if (echo_log_in_use()) {
        std::fputs("=============\n", run_state.echo_stream);
    }
    set_up_endpoints();
    timeval start{};
    gettimeofday(&start, nullptr);
    move_local_side(operands);
    timeval end{};
    gettimeofday(&end, nullptr);
    close_connection(run_state.data_fd);
    if (relay_mode()) {
        close_connection(run_state.relay_fd);
    }
    print_summary(start, end);
}

int end_of_run() {
    if (echo_log_in_use()) {
        std::fclose(run_state.echo_stream);
    }
    if (has_flag(FLAG_NOBUF)) {
        tty_nobuf(fileno(stdin), tty_direction::restore);
    }
    if (has_flag(FLAG_UNIX) && has_flag(FLAG_LISTEN) && run_state.listen_port != nullptr) {
        unlink(run_state.listen_port);
    }
    if (has_flag(FLAG_SUM)) {
        std::fprintf(stderr, "checksum: %u\n", static_cast<unsigned>(run_state.checksum));
    }
    return transfer_failed ? 1 : 0;
}

}  // namespace

double elapsed_seconds(const timeval& start, const timeval& end) {
    return (static_cast<double>(end.tv_sec) - static_cast<double>(start.tv_sec)) +
           static_cast<double>(end.tv_usec) / 1000000 -
           static_cast<double>(start.tv_usec) / 1000000;
}

int run_connection_loop(int operand_count, char** operands) {
    const std::span<char*> operand_list{operands, static_cast<std::size_t>(operand_count)};
    do {
        run_cycle(operand_list);
    } while (has_flag(FLAG_CONTINUE));
    return end_of_run();
}
