// SPDX-License-Identifier: BSD-2-Clause
// The one process-wide record of option values and per-run state.
//
// The signal handlers are installed before the options are scanned and may run at any
// moment. The fields they read or write are volatile std::sig_atomic_t or lock-free atomics;
// the saved terminal attributes, the one record among them, are written only while the
// handled signals are held back.
#pragma once

#include <atomic>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <sys/time.h>
#include <termios.h>

constexpr std::uint32_t FLAG_DEBUG = 0x1;
constexpr std::uint32_t FLAG_LISTEN = 0x2;
constexpr std::uint32_t FLAG_QUIET = 0x4;
constexpr std::uint32_t FLAG_INPUT = 0x8;
constexpr std::uint32_t FLAG_OUTPUT = 0x10;
constexpr std::uint32_t FLAG_VERBOSE = 0x20;
constexpr std::uint32_t FLAG_HOST = 0x40;
constexpr std::uint32_t FLAG_UNIX = 0x80;
constexpr std::uint32_t FLAG_CONTINUE = 0x100;
constexpr std::uint32_t FLAG_NOBUF = 0x200;
constexpr std::uint32_t FLAG_SUM = 0x400;
constexpr std::uint32_t FLAG_ECHO = 0x80000000;

// A descriptor field of run_state: the interrupt handler may close the descriptor and set
// the field to -1 between any two steps of the main flow.
using descriptor_field = volatile std::sig_atomic_t;
static_assert(sizeof(descriptor_field) >= sizeof(int), "a descriptor field holds any descriptor");
static_assert(std::atomic<const char*>::is_always_lock_free, "the handlers read the socket file");

// Endpoint operations fill the descriptor field that `slot` points at and return 0, or
// report their own failure and return -1. A listen operation takes the connect shape with
// a null host that it never reads.
using connect_fn_type = int (*)(descriptor_field* slot, const char* host, const char* port);
using listen_fn_type = int (*)(descriptor_field* slot, const char* host, const char* port);
using accept_fn_type = int (*)(descriptor_field* slot, int listening_fd);

struct run_state_record {
    char* progname;
    std::uint32_t flags;
    descriptor_field data_fd;
    descriptor_field listen_fd;
    descriptor_field echo_fd;
    char* listen_port;
    int sockbuf_size;
    char* echo_path;
    char* connect_port;
    char* host;
    char* bind_port;
    timeval* timeout;
    FILE* echo_stream;
    unsigned long checksum;
    std::int64_t byte_count;
    termios saved_tty;
    volatile std::sig_atomic_t tty_changed;
    // The terminal was given back for a stop (Ctrl-Z): it is switched again when the run goes
    // on in the foreground.
    volatile std::sig_atomic_t tty_switch_on_continue;
    connect_fn_type connect_fn;
    listen_fn_type listen_fn;
    accept_fn_type accept_fn;
    descriptor_field relay_fd;
    // The path of our UNIX-domain listening socket file while it exists, null otherwise: only
    // our own file is ever removed, never one that a failed bind found there. Taken with
    // exchange, so that it is removed once.
    std::atomic<const char*> socket_file;
    // A progress line ("sending file x ...") is on standard error without its line end: a
    // message printed now starts on a line of its own.
    std::uint8_t progress_line_open;
    // The standard descriptors that were closed when the process started (bit 1 << fd for 0,
    // 1 and 2): /dev/null holds their numbers, but nothing written there reaches anyone.
    std::uint8_t closed_at_start;
};

extern run_state_record run_state;

// The size in bytes of every chunk buffer where chunks can be seen (dots, echo records), and
// of every chunk wherever --buffer-size was given.
extern int buffer_size;
extern bool buffer_size_given;

// Set by the interrupt handler; lets a write that failed on a descriptor the handler has
// just closed stay quiet instead of being reported as a lost transfer.
extern volatile std::sig_atomic_t interrupt_seen;

[[nodiscard]] inline bool has_flag(std::uint32_t flag) {
    return (run_state.flags & flag) != 0;
}

// Whether standard descriptor `fd` was closed when the process started.
[[nodiscard]] inline bool closed_at_start(int fd) {
    return (run_state.closed_at_start & (1U << fd)) != 0;
}

// The echo log is in use when --echo was given (it sets both the flag and the path).
[[nodiscard]] inline bool echo_log_in_use() {
    return has_flag(FLAG_ECHO) && run_state.echo_path != nullptr;
}
