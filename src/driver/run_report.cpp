// SPDX-License-Identifier: BSD-2-Clause
#include "driver/run_report.hpp"

#include "state/run_state.hpp"

#include <cstdio>
#include <cstdlib>

namespace {

// The start of a progress line, whose dots and end follow.
void open_progress_line() {
    run_state.progress_line_open = 1;
}

// A listener that sends was given no connect port; it names the port it listens on.
const char* summary_port() {
    return run_state.connect_port != nullptr ? run_state.connect_port : run_state.listen_port;
}

}  // namespace

void end_run_with(const char* message) {
    std::fputs(message, stderr);
    std::exit(1);
}

void announce_stream(const char* text) {
    if (has_flag(FLAG_VERBOSE)) {
        std::fputs(text, stderr);
        open_progress_line();
    }
}

void announce_file(const char* name) {
    if (!has_flag(FLAG_QUIET)) {
        std::fprintf(stderr, "sending file %s ", name);
        open_progress_line();
    }
}

void print_summary(const timeval& start, const timeval& end) {
    if (has_flag(FLAG_QUIET)) {
        return;
    }
    const double seconds = elapsed_seconds(start, end);
    const double rate = static_cast<double>(run_state.byte_count) / seconds / 1024;
    const long long bytes = run_state.byte_count;
    if (has_flag(FLAG_INPUT) && has_flag(FLAG_OUTPUT)) {
        std::fprintf(stderr, "%lli bytes transfered in %.2f seconds (%.2f K/s)\n", bytes, seconds,
                     rate);
    } else if (has_flag(FLAG_OUTPUT)) {
        std::fprintf(stderr, "%lli bytes written to stdout in %.2f seconds (%.2f K/s)\n", bytes,
                     seconds, rate);
    } else {
        std::fprintf(stderr, "%lli bytes written to %s:%s in %.2f seconds (%.2f K/s)\n", bytes,
                     run_state.host, summary_port(), seconds, rate);
    }
}

void print_checksum() {
    if (has_flag(FLAG_SUM)) {
        std::fprintf(stderr, "checksum: %u\n", static_cast<unsigned>(run_state.checksum));
    }
}

double elapsed_seconds(const timeval& start, const timeval& end) {
    return (static_cast<double>(end.tv_sec) - static_cast<double>(start.tv_sec)) +
           static_cast<double>(end.tv_usec) / 1000000 -
           static_cast<double>(start.tv_usec) / 1000000;
}
