// SPDX-License-Identifier: BSD-2-Clause
// The handler of SIGINT and SIGQUIT, and the descriptors it keeps out of reach.
#pragma once

// Installs on_interrupt for SIGINT and SIGQUIT, on_termination for SIGTERM and SIGHUP, and
// the tidying of the terminal and the socket file for every exit.
void install_interrupt_handler();

// Gives the terminal back its line mode and removes our UNIX-domain listening socket file,
// each at most once. Async-signal-safe.
void leave_terminal_and_socket_file();

// The handler of SIGTERM and SIGHUP.
void on_termination(int signal_number);

// Announces the interrupt, gives the terminal back, closes the run's sockets and the echo
// log, removes a UNIX-domain listening socket file, and returns.
void on_interrupt(int signal_number);
