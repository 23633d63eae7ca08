// SPDX-License-Identifier: BSD-2-Clause
// The command line: option table, size and timeout arguments, and the scanner that
// applies every option to run_state in command-line order.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

// A size argument: the number as strtol reads it with base 0, times the multiplier of the
// last character (k/K, m/M, g/G), wrapped to 32-bit two's complement. A number beyond the
// range of a long counts as the nearest long, as strtol gives it.
[[nodiscard]] std::int32_t parse_size(const char* text);

struct timeout_pair {
    std::int64_t seconds;
    std::int64_t microseconds;
};

// A --timeout period: whole seconds as strtol reads them, microseconds as the rest of the
// floating-point reading, truncated toward zero. A rest that is not a number gives 0 µs; one
// beyond the 64-bit range is held at the nearest end of that range.
[[nodiscard]] timeout_pair parse_timeout(const char* text);

// `--host a:b` splits at the first colon; without a colon there is no port part. A host in
// brackets, `[::1]:b` or `[::1]`, keeps them and splits after the closing one; a text that
// opens a bracket and doesn't close it properly is all host, for the connect step to refuse.
struct host_and_port {
    std::string_view host;
    std::optional<std::string_view> port;
};
[[nodiscard]] host_and_port split_host_port(std::string_view argument);

enum class scan_outcome {
    ready,         // the options ended and a port or path was given
    show_help,     // --help or -H
    show_version,  // --version or -V
    show_credits,  // --credits or -C
    usage_error,   // getopt_long has already printed its diagnostic
    bad_size,      // --buffer-size or --socket-buffer of 0 or less
    missing_port,  // the options ended without a port or a path
};

struct scan_result {
    scan_outcome outcome;
    std::int32_t rejected_size;  // the value of a bad_size outcome
    int first_operand;           // optind when the outcome is ready
};

// Applies the options to run_state and buffer_size until the first one that ends the scan.
// Nothing is printed except getopt_long's own diagnostics, and the process never exits, so
// tests and fuzzers can drive it in-process.
[[nodiscard]] scan_result scan_arguments(int argc, char** argv);

// The entry main calls: prints the information texts and the usage errors and exits, and
// returns only when a port or a path was given. optind is left at the first file operand.
void scan_options(int argc, char** argv);
