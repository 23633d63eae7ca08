// The handler of SIGINT and SIGQUIT, and the descriptors it keeps out of reach.
#pragma once

// Installs on_interrupt for SIGINT, then SIGQUIT.
void install_interrupt_handler();

// Announces the interrupt, gives the terminal back, closes the run's sockets and the echo
// log, removes a UNIX-domain listening socket file, and returns.
void on_interrupt(int signal_number);
