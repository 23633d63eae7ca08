// SPDX-License-Identifier: BSD-2-Clause
// Ctrl-Z and fg with --nobuf: the terminal has its line mode while the run is stopped, for
// the shell and whatever runs meanwhile, and loses it again when the run goes on in the
// foreground.
#pragma once

// Installs on_stop for SIGTSTP, where the program didn't find it ignored, and with it
// on_continue for SIGCONT.
void install_stop_handlers();

// Gives the terminal back, stops the process as SIGTSTP's default action does, and returns
// when it is continued.
void on_stop(int signal_number);

// Switches the terminal again after a stop, if the run owns the terminal's foreground; in
// the background it waits for the SIGCONT of a later fg.
void on_continue(int signal_number);
