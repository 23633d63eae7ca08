// SPDX-License-Identifier: BSD-2-Clause
// Standard input's terminal out of canonical mode for the run, and back.
#pragma once

enum class tty_direction { switch_off_canonical, restore };

// Does nothing when `fd` is not a terminal. Failures are reported and passed over. Both
// directions are safe inside a signal handler: they use only isatty, tcgetattr, tcsetattr,
// sigprocmask and write.
void tty_nobuf(int fd, tty_direction direction);
