// SPDX-License-Identifier: BSD-2-Clause
// The lines a connection cycle prints around its transfers: the start of a progress line, the
// cycle's summary, the checksum at the end of the run, and the messages of a fatal step.
// The verdicts on a transfer's end are driver/end_policy.hpp's.
#pragma once

#include <sys/time.h>

// Prints `message` and ends the run with status 1.
[[noreturn]] void end_run_with(const char* message);

// "receiving " or "sending " under --verbose: the start of the progress line.
void announce_stream(const char* text);

// "sending file NAME " unless --quiet: the start of the file's progress line.
void announce_file(const char* name);

// The cycle's summary line, unless --quiet: the bytes that reached the peers, the time and
// the rate.
void print_summary(const timeval& start, const timeval& end);

// The checksum line of --sum, at the end of the run.
void print_checksum();

// Seconds between two timestamps, each field taken as a double before it is used.
[[nodiscard]] double elapsed_seconds(const timeval& start, const timeval& end);
