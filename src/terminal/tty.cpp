// SPDX-License-Identifier: BSD-2-Clause
#include "terminal/tty.hpp"

#include "platform/platform.hpp"
#include "state/handled_signals.hpp"
#include "state/run_state.hpp"

#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace {

// perror's line, built without stdio, so that both directions may run inside a handler.
void report_signal_safe(const char* label) {
    const char* reason = error_text_signal_safe(errno);
    const char* parts[] = {label, ": ", reason, "\n"};
    for (const char* part : parts) {
        [[maybe_unused]] auto written = write(STDERR_FILENO, part, std::strlen(part));
    }
}

void switch_off_canonical(int fd) {
    if (run_state.tty_changed == 0 && tcgetattr(fd, &run_state.saved_tty) != 0) {
        report_signal_safe("tcgetattr");
        // Without attributes of this terminal there is nothing sound to change or restore.
        return;
    }
    termios changed = run_state.saved_tty;
    changed.c_lflag &= ~static_cast<tcflag_t>(ICANON);
    if (tcsetattr(fd, TCSANOW, &changed) != 0) {
        report_signal_safe("tcsetattr");
        return;
    }
    run_state.tty_changed = 1;
}

void restore(int fd) {
    if (run_state.tty_changed == 0) {
        return;
    }
    if (tcsetattr(fd, TCSANOW, &run_state.saved_tty) != 0) {
        report_signal_safe("tcsetattr");
        return;
    }
    run_state.tty_changed = 0;
}

}  // namespace

void tty_nobuf(int fd, tty_direction direction) {
    if (isatty(fd) == 0) {
        return;
    }
    // The handlers restore and switch too: held back, none of them runs between reading or
    // applying the attributes and marking what the terminal now runs with.
    const sigset_t previous = block_handled_signals();
    if (direction == tty_direction::switch_off_canonical) {
        switch_off_canonical(fd);
    } else {
        restore(fd);
    }
    restore_signal_mask(previous);
}
