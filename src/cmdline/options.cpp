// SPDX-License-Identifier: BSD-2-Clause
#include "cmdline/options.hpp"

#include "cmdline/address_forms.hpp"
#include "cmdline/texts.hpp"
#include "platform/platform.hpp"
#include "state/alloc.hpp"
#include "state/run_state.hpp"

#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <getopt.h>

namespace {

constexpr char short_options[] = "B:b:cDe:h:il:noP:p:qst:U:u:vHVC";

// clang-format off
constexpr option long_options[] = {
    {"socket-buffer", required_argument, nullptr, 'B'},
    {"buffer-size",   required_argument, nullptr, 'b'},
    {"continue",      no_argument,       nullptr, 'c'},
    {"debug",         no_argument,       nullptr, 'D'},
    {"echo",          required_argument, nullptr, 'e'},
    {"host",          required_argument, nullptr, 'h'},
    {"input",         no_argument,       nullptr, 'i'},
    {"listen",        required_argument, nullptr, 'l'},
    {"nobuf",         no_argument,       nullptr, 'n'},
    {"output",        no_argument,       nullptr, 'o'},
    {"port",          required_argument, nullptr, 'p'},
    {"bind-port",     required_argument, nullptr, 'P'},
    {"quiet",         no_argument,       nullptr, 'q'},
    {"sum",           no_argument,       nullptr, 's'},
    {"timeout",       required_argument, nullptr, 't'},
    {"unix-listen",   required_argument, nullptr, 'U'},
    {"unix-host",     required_argument, nullptr, 'u'},
    {"verbose",       no_argument,       nullptr, 'v'},
    {"help",          no_argument,       nullptr, 'H'},
    {"version",       no_argument,       nullptr, 'V'},
    {"credits",       no_argument,       nullptr, 'C'},
    {nullptr,         0,                 nullptr, 0},
};
// clang-format on

std::uint32_t suffix_multiplier(std::string_view text) {
    if (text.empty()) {
        return 1;
    }
    switch (text.back()) {
    case 'k':
    case 'K': return 1024;
    case 'm':
    case 'M': return 1048576;
    case 'g':
    case 'G': return 1073741824;
    default: return 1;
    }
}

std::int64_t truncate_to_int64(double value) {
    constexpr double two_to_63 = 9223372036854775808.0;
    if (std::isnan(value)) {
        return 0;
    }
    if (value >= two_to_63) {
        return INT64_MAX;
    }
    if (value < -two_to_63) {
        return INT64_MIN;
    }
    return static_cast<std::int64_t>(value);
}

// The new text is in place before the old one is released, so the interrupt handler never
// sees a released pointer.
void replace_text(char** field, std::string_view text) {
    char* old = *field;
    *field = copy_text_or_die(text.data(), text.size());
    std::free(old);
}

void fill_if_empty(char** field, std::string_view text) {
    if (*field == nullptr) {
        *field = copy_text_or_die(text.data(), text.size());
    }
}

void apply_host(const char* argument) {
    run_state.flags |= FLAG_HOST;
    const host_and_port parts = split_host_port(argument);
    if (parts.port) {
        replace_text(&run_state.connect_port, *parts.port);
    }
    replace_text(&run_state.host, parts.host);
}

void apply_timeout(const char* argument) {
    const timeout_pair period = parse_timeout(argument);
    auto* pair = static_cast<timeval*>(alloc_or_die(sizeof(timeval)));
    pair->tv_sec = period.seconds;
    pair->tv_usec = period.microseconds;
    timeval* old = run_state.timeout;
    run_state.timeout = pair;
    std::free(old);
}

// Applies one option. Returns the outcome that ends the scan, or nothing to go on.
std::optional<scan_result> apply_option(int letter, const char* argument) {
    switch (letter) {
    case 'B':
        run_state.sockbuf_size = parse_size(argument);
        if (run_state.sockbuf_size <= 0) {
            return scan_result{scan_outcome::bad_size, run_state.sockbuf_size, 0};
        }
        break;
    case 'b':
        buffer_size = parse_size(argument);
        buffer_size_given = true;
        if (buffer_size <= 0) {
            return scan_result{scan_outcome::bad_size, buffer_size, 0};
        }
        break;
    case 'c': run_state.flags |= FLAG_CONTINUE; break;
    case 'D': run_state.flags |= FLAG_DEBUG; break;
    case 'e':
        run_state.flags |= FLAG_ECHO | FLAG_INPUT | FLAG_OUTPUT;
        replace_text(&run_state.echo_path, argument);
        break;
    case 'h': apply_host(argument); break;
    case 'i': run_state.flags |= FLAG_INPUT; break;
    case 'l':
        run_state.flags |= FLAG_LISTEN;
        replace_text(&run_state.listen_port, argument);
        break;
    case 'n': run_state.flags |= FLAG_NOBUF; break;
    case 'o': run_state.flags |= FLAG_OUTPUT; break;
    case 'p':
        fill_if_empty(&run_state.connect_port, argument);
        fill_if_empty(&run_state.listen_port, argument);
        break;
    case 'P': fill_if_empty(&run_state.bind_port, argument); break;
    case 'q': run_state.flags |= FLAG_QUIET; break;
    case 's': run_state.flags |= FLAG_SUM; break;
    case 't': apply_timeout(argument); break;
    case 'U':
        run_state.flags |= FLAG_LISTEN | FLAG_UNIX;
        replace_text(&run_state.listen_port, argument);
        break;
    case 'u':
        run_state.flags |= FLAG_HOST | FLAG_UNIX;
        replace_text(&run_state.connect_port, argument);
        break;
    case 'v': run_state.flags |= FLAG_VERBOSE; break;
    case 'H': return scan_result{scan_outcome::show_help, 0, 0};
    case 'V': return scan_result{scan_outcome::show_version, 0, 0};
    case 'C': return scan_result{scan_outcome::show_credits, 0, 0};
    default: return scan_result{scan_outcome::usage_error, 0, 0};
    }
    return std::nullopt;
}

// An information text that could not be written (a full disk, a closed pipe) is a failure.
[[noreturn]] void exit_after_text() {
    if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
        std::perror("write");
        std::exit(1);
    }
    std::exit(0);
}

// A bracketed host without a port: what it lacks is said before the "Try" line.
void explain_missing_port() {
    if (run_state.host != nullptr) {
        report_bad_brackets(read_brackets(run_state.host), run_state.host, true);
    }
}

[[noreturn]] void exit_with_try_line(const char* name) {
    std::fprintf(stderr, "Try `%s --help' for more information\n", name);
    std::exit(1);
}

}  // namespace

std::int32_t parse_size(const char* text) {
    const long number = std::strtol(text, nullptr, 0);
    // Only the low 32 bits of the product count, as in 32-bit arithmetic; unsigned
    // arithmetic gives them without overflow.
    const auto low_bits = static_cast<std::uint32_t>(static_cast<unsigned long>(number));
    return static_cast<std::int32_t>(low_bits * suffix_multiplier(text));
}

timeout_pair parse_timeout(const char* text) {
    const long seconds = std::strtol(text, nullptr, 10);
    const double rest = (std::atof(text) - static_cast<double>(seconds)) * 1000000.0;
    return {seconds, truncate_to_int64(rest)};
}

host_and_port split_host_port(std::string_view argument) {
    const bracketed_text bracketed = read_brackets(argument);
    if (bracketed.form == bracket_form::closed) {
        // The host keeps its brackets, so that the summary line names it as it was given.
        return {bracketed.with_brackets, bracketed.port};
    }
    if (bracketed.form == bracket_form::malformed) {
        return {argument, std::nullopt};  // the connect step says what is wrong with it
    }
    const auto colon = argument.find(':');
    if (colon == std::string_view::npos) {
        return {argument, std::nullopt};
    }
    return {argument.substr(0, colon), argument.substr(colon + 1)};
}

scan_result scan_arguments(int argc, char** argv) {
    restart_option_scanning();  // so that the scanner can run more than once in a process
    int letter = 0;
    while ((letter = getopt_long(argc, argv, short_options, long_options, nullptr)) != -1) {
        if (auto ended = apply_option(letter, optarg)) {
            return *ended;
        }
    }
    if (run_state.listen_port == nullptr && run_state.connect_port == nullptr) {
        return {scan_outcome::missing_port, 0, optind};
    }
    return {scan_outcome::ready, 0, optind};
}

void scan_options(int argc, char** argv) {
    const scan_result result = scan_arguments(argc, argv);
    switch (result.outcome) {
    case scan_outcome::ready: return;
    case scan_outcome::show_help: show_usage(); exit_after_text();
    case scan_outcome::show_version: show_version(); exit_after_text();
    case scan_outcome::show_credits: show_credits(); exit_after_text();
    case scan_outcome::bad_size:
        std::fprintf(stderr, "invalid buffer size of %d, must be larger than %d byte%s\n",
                     result.rejected_size, 1, "");
        std::exit(1);
    case scan_outcome::usage_error: exit_with_try_line(argv[0]);
    case scan_outcome::missing_port: explain_missing_port(); exit_with_try_line(argv[0]);
    }
}
