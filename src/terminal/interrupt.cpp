// SPDX-License-Identifier: BSD-2-Clause
#include "terminal/interrupt.hpp"

#include "state/handled_signals.hpp"
#include "state/run_state.hpp"
#include "terminal/tty.hpp"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Closes a socket at once, without waiting for its queued data: the user asked the run to
// stop.
void close_without_lingering(int fd) {
    const linger at_once{0, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &at_once, sizeof at_once);
    close(fd);
}

// Closes `fd` but keeps its number taken by /dev/null, so that no later socket can get the
// number while code still writes to it (the echo log) or reads it as standard input. Reads
// then see the end of the data and writes vanish, which ends the work as a close would.
void close_keeping_number(int fd) {
    const int null_fd = open("/dev/null", O_RDWR);
    if (null_fd < 0) {
        close(fd);
        return;
    }
    if (null_fd != fd) {
        dup2(null_fd, fd);
        close(null_fd);
    }
}

// Closes the descriptor in `slot` and forgets it, so that nothing closes its number again
// once a later socket or file has taken it. The standard descriptors keep their numbers; a
// socket is closed without lingering: the user asked the run to stop, and a peer that
// doesn't read must not hold the close.
void close_and_forget(descriptor_field* slot) {
    const int fd = *slot;
    if (fd < 0) {
        return;
    }
    *slot = -1;
    if (fd <= STDERR_FILENO) {
        close_keeping_number(fd);
    } else {
        close_without_lingering(fd);
    }
}

// Only a --nobuf run ever marks the terminal as changed, so the flag word isn't read here.
// A stopped run that ends is not switched again when continued.
void restore_terminal() {
    run_state.tty_switch_on_continue = 0;
    tty_nobuf(STDIN_FILENO, tty_direction::restore);
}

void remove_socket_file() {
    if (const char* path = run_state.socket_file.exchange(nullptr)) {
        unlink(path);
    }
}

}  // namespace

void leave_terminal_and_socket_file() {
    restore_terminal();
    remove_socket_file();
}

void install_interrupt_handler() {
    // A shell ignores SIGINT and SIGQUIT for a job it starts in the background without job
    // control, and nohup ignores SIGHUP: such a run must not end on the signal meant for
    // others, as it would if we caught it.
    catch_unless_ignored(SIGINT, on_interrupt);
    catch_unless_ignored(SIGQUIT, on_interrupt);
    catch_unless_ignored(SIGTERM, on_termination);
    catch_unless_ignored(SIGHUP, on_termination);
    // A pipe reader that went away ends the run by SIGPIPE, as before, but tidily. Ignored,
    // it leaves the failed write to be reported.
    catch_unless_ignored(SIGPIPE, on_termination);
    // A write past the file size limit (`ulimit -f`) is a failed write like a full disk:
    // ignored, the signal leaves write, splice and sendfile to fail with EFBIG, which is
    // reported ("write: File too large") and tidied up after. Left to its default, it would
    // end the run without a word and leave the socket file behind. Ignored, it stays so.
    std::signal(SIGXFSZ, SIG_IGN);
    // every exit of ours, a fatal one included, leaves the terminal and the socket file tidy
    std::atexit(leave_terminal_and_socket_file);
}

// Put right what the run changed, then end by the same signal with its default action, so
// that the parent sees the status it expects from a process killed by it.
void on_termination(int signal_number) {
    leave_terminal_and_socket_file();
    struct sigaction default_action {};
    default_action.sa_handler = SIG_DFL;
    sigaction(signal_number, &default_action, nullptr);
    // held back until this handler returns, and then the end of the process
    std::raise(signal_number);
}

// The handler does not end the process or merely set a flag for a main loop to poll: the
// work it interrupts may be blocked in a read, write, accept or connect with no loop to
// notice a flag. Closing the descriptors makes exactly that call fail, and the work ends
// on its own. Only async-signal-safe calls are made here.
void on_interrupt(int /*signal_number*/) {
    const int saved_errno = errno;
    interrupt_seen = 1;
    constexpr char message[] = "interupted.\n";
    [[maybe_unused]] auto written = write(STDERR_FILENO, message, sizeof message - 1);
    restore_terminal();  // before standard input, which may be the terminal, is replaced
    close_and_forget(&run_state.data_fd);
    close_and_forget(&run_state.listen_fd);
    // A relay blocked writing to an onward server that doesn't read ends too.
    close_and_forget(&run_state.relay_fd);
    close_keeping_number(run_state.echo_fd);
    remove_socket_file();
    errno = saved_errno;
}
