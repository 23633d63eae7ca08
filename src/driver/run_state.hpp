// SPDX-License-Identifier: BSD-2-Clause
// The one process-wide record of option values and per-run state.
//
// Every field that the interrupt handler reads is a trivial type (int, a flag word, a
// plain char pointer, termios): the handler is installed before the options are scanned
// and may run at any moment, even while a repeated option replaces a text.
#pragma once

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

// Endpoint operations fill the descriptor field that `slot` points at and return 0, or
// report their own failure and return -1. A listen operation takes the connect shape with
// a null host that it never reads.
using connect_fn_type = int (*)(int* slot, const char* host, const char* port);
using listen_fn_type = int (*)(int* slot, const char* host, const char* port);
using accept_fn_type = int (*)(int* slot, int listening_fd);

struct run_state_record {
    char* progname;
    std::uint32_t flags;
    int data_fd;
    int listen_fd;
    int echo_fd;
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
    std::uint8_t tty_changed;
    connect_fn_type connect_fn;
    listen_fn_type listen_fn;
    accept_fn_type accept_fn;
    int relay_fd;
    // Set once a UNIX-domain listening socket file exists at listen_port, cleared when it is
    // removed: only our own file is ever removed, never one that a failed bind found there.
    std::uint8_t socket_file_created;
    // A progress line ("sending file x ...") is on standard error without its line end: a
    // message printed now starts on a line of its own.
    std::uint8_t progress_line_open;
};

extern run_state_record run_state;

// The size in bytes of every chunk buffer.
extern int buffer_size;

// Set by the interrupt handler; lets a write that failed on a descriptor the handler has
// just closed stay quiet instead of being reported as a lost transfer.
extern volatile std::sig_atomic_t interrupt_seen;

[[nodiscard]] inline bool has_flag(std::uint32_t flag) {
    return (run_state.flags & flag) != 0;
}

// The echo log is in use when --echo was given (it sets both the flag and the path).
[[nodiscard]] inline bool echo_log_in_use() {
    return has_flag(FLAG_ECHO) && run_state.echo_path != nullptr;
}
