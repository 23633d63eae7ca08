// SPDX-License-Identifier: BSD-2-Clause
#include "driver/startup.hpp"

#include "cmdline/options.hpp"
#include "endpoints/tcp.hpp"
#include "endpoints/unix_socket.hpp"
#include "platform/platform.hpp"
#include "state/alloc.hpp"
#include "state/handled_signals.hpp"
#include "state/run_state.hpp"
#include "terminal/interrupt.hpp"
#include "terminal/job_control.hpp"
#include "terminal/tty.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

copy_fn_type stdio_copy = copy_plain;
copy_fn_type file_copy = copy_dots;

namespace {

[[noreturn]] void refuse(startup_refusal refusal) {
    switch (refusal) {
    case startup_refusal::bind_port_without_connect:
        std::fputs("you can not use --bind-port if you are not connecting, \n"
                   "just use --port instead\n",
                   stderr);
        break;
    case startup_refusal::relay_without_target:
        std::fputs("a relay needs a port or path to connect to: give --host with :port, "
                   "--port or --unix-host\n",
                   stderr);
        std::fprintf(stderr, "Try `%s --help' for more information\n", run_state.progname);
        break;
    case startup_refusal::port_without_role:
        std::fputs("--port alone neither listens nor connects: add --listen, --unix-listen, "
                   "--host or --unix-host\n",
                   stderr);
        std::fprintf(stderr, "Try `%s --help' for more information\n", run_state.progname);
        break;
    case startup_refusal::operands_while_receiving:
        std::fputs("Error: when using the output (`-o') option files can not be supplied\n",
                   stderr);
        break;
    case startup_refusal::none: break;
    }
    std::exit(1);
}

void select_endpoint_operations() {
    if (has_flag(FLAG_UNIX)) {
        run_state.connect_fn = unix_connect;
        run_state.listen_fn = unix_listen;
        run_state.accept_fn = unix_accept;
    } else {
        run_state.connect_fn = tcp_connect;
        run_state.listen_fn = tcp_listen;
        run_state.accept_fn = tcp_accept;
    }
}

void select_copy_operations() {
    stdio_copy = has_flag(FLAG_VERBOSE) && !has_flag(FLAG_QUIET) ? copy_dots : copy_plain;
    file_copy = has_flag(FLAG_QUIET) ? copy_plain : copy_dots;
}

bool is_fifo(const char* path) {
    struct stat status {};
    return stat(path, &status) == 0 && S_ISFIFO(status.st_mode);
}

// Opens the echo log into the record. A FIFO without a reader is waited for, as a shell's
// redirection or tee waits: tried again and again without blocking, with the handled signals
// let in only between the tries, so that Ctrl-C, Ctrl-\, SIGTERM and SIGHUP end the wait and
// a descriptor just opened is named in the record before the interrupt handler, which closes
// what it names, can run. An interrupt fails the open with EINTR.
int open_echo_log_file() {
    constexpr std::chrono::milliseconds longest_pause{100};
    std::chrono::milliseconds pause{1};
    const sigset_t previous = block_handled_signals();
    int fd = -1;
    for (;;) {
        fd = open(run_state.echo_path, O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK, 0666);
        if (fd >= 0 || errno != ENXIO || !is_fifo(run_state.echo_path)) {
            break;
        }
        [[maybe_unused]] const int ready = poll_letting_interrupts_in(
            nullptr, 0, static_cast<int>(pause.count()), previous, interrupt_seen);
        if (interrupt_seen != 0) {
            errno = EINTR;
            break;
        }
        pause = std::min(pause * 2, longest_pause);
    }
    if (fd >= 0) {
        // Written as before: blocking, except where a transfer makes it wait in its one wait.
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
        run_state.echo_fd = fd;
    }
    const int error = errno;
    restore_signal_mask(previous);
    errno = error;
    return fd;
}

void open_echo_log() {
    if (open_echo_log_file() < 0) {
        std::perror(run_state.echo_path);
        std::exit(1);
    }
    run_state.echo_stream = fdopen(run_state.echo_fd, "w");
    if (run_state.echo_stream == nullptr) {
        std::perror(run_state.echo_path);
        std::exit(1);
    }
    // Unbuffered, so that text lines and the raw data records land in the order written.
    std::setvbuf(run_state.echo_stream, nullptr, _IONBF, 0);
}

}  // namespace

resolved_mode resolve_mode(std::uint32_t flags, bool has_bind_port, bool has_connect_port,
                           int operand_count) {
    const bool listens = (flags & FLAG_LISTEN) != 0;
    const bool connects = (flags & FLAG_HOST) != 0;
    if (listens && connects) {
        flags |= FLAG_INPUT | FLAG_OUTPUT;
    }
    if (!connects && has_bind_port) {
        return {flags, startup_refusal::bind_port_without_connect};
    }
    if (listens && connects && !has_connect_port) {
        return {flags, startup_refusal::relay_without_target};
    }
    if (!listens && !connects) {
        return {flags, startup_refusal::port_without_role};
    }
    if (listens && (flags & FLAG_INPUT) == 0) {
        flags |= FLAG_OUTPUT;
    }
    if (!listens && (flags & FLAG_OUTPUT) == 0) {
        flags |= FLAG_INPUT;
    }
    if (operand_count > 0 && (flags & FLAG_OUTPUT) != 0) {
        return {flags, startup_refusal::operands_while_receiving};
    }
    return {flags, startup_refusal::none};
}

void reserve_standard_descriptors() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) == -1) {
            // open returns the lowest free number, which is this one.
            if (open("/dev/null", O_RDWR) != fd) {
                std::exit(1);
            }
            run_state.closed_at_start |= 1U << fd;
        }
    }
}

int start_up(int argc, char** argv) {
    run_state.progname = argv[0];
    run_state.flags = 0;
    run_state.byte_count = 0;
    run_state.timeout = nullptr;
    run_state.checksum = 1;
    install_out_of_memory_handler();
    install_interrupt_handler();
    scan_options(argc, argv);
    const int first_operand = optind;
    if (run_state.host == nullptr) {
        run_state.host = copy_text_or_die("localhost", std::strlen("localhost"));
    }
    select_endpoint_operations();
    const resolved_mode mode =
        resolve_mode(run_state.flags, run_state.bind_port != nullptr,
                     run_state.connect_port != nullptr, argc - first_operand);
    if (mode.refusal != startup_refusal::none) {
        refuse(mode.refusal);
    }
    run_state.flags = mode.flags;
    select_copy_operations();
    if (has_flag(FLAG_VERBOSE)) {
        std::fprintf(stderr, "using %d byte buffer\n", buffer_size);
    }
    if (echo_log_in_use()) {
        open_echo_log();
    }
    if (has_flag(FLAG_NOBUF)) {
        install_stop_handlers();
        tty_nobuf(fileno(stdin), tty_direction::switch_off_canonical);
    }
    run_state.listen_fd = -1;
    run_state.relay_fd = -1;  // so that the interrupt handler never takes it for descriptor 0
    return first_operand;
}
