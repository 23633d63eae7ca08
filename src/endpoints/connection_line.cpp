// SPDX-License-Identifier: BSD-2-Clause
#include "endpoints/connection_line.hpp"

#include "state/run_state.hpp"

#include <cstdarg>
#include <cstdio>

void announce_connection(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    if (!has_flag(FLAG_QUIET)) {
        va_list for_stderr;
        va_copy(for_stderr, arguments);
        std::vfprintf(stderr, format, for_stderr);
        va_end(for_stderr);
    }
    if (echo_log_in_use()) {
        std::vfprintf(run_state.echo_stream, format, arguments);
    }
    va_end(arguments);
}

void announce_on_stderr(const char* format, ...) {
    if (has_flag(FLAG_QUIET)) {
        return;
    }
    va_list arguments;
    va_start(arguments, format);
    std::vfprintf(stderr, format, arguments);
    va_end(arguments);
}
