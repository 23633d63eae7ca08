// SPDX-License-Identifier: BSD-2-Clause
// The handlers of the signals that end a run, and the descriptors they keep out of reach.
#pragma once

// Installs on_interrupt for SIGINT and SIGQUIT, on_termination for SIGTERM, SIGHUP and
// SIGPIPE (each where the program didn't find it ignored), ignores SIGXFSZ, and installs
// the tidying of the terminal and the socket file for every exit.
void install_interrupt_handler();

// Gives the terminal back its line mode and removes our UNIX-domain listening socket file,
// each at most once. Async-signal-safe.
void leave_terminal_and_socket_file();

// The handler of SIGTERM, SIGHUP and SIGPIPE.
void on_termination(int signal_number);

// Announces the interrupt, gives the terminal back, closes the run's sockets and the echo
// log, removes a UNIX-domain listening socket file, and returns.
void on_interrupt(int signal_number);
