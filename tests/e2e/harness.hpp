// SPDX-License-Identifier: BSD-2-Clause
// Helpers for end-to-end tests: run the real ferrox binary as a subprocess with a deadline,
// capture what it prints, and talk to it over 127.0.0.1, ::1 and socket files.
#pragma once

#include <cerrno>  // the error numbers that error_text takes
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace e2e {

using namespace std::chrono_literals;
using seconds = std::chrono::duration<double>;

// A fresh directory under /tmp, removed with everything in it when the test ends.
struct temp_dir {
    std::string path;
    temp_dir();
    ~temp_dir();
    temp_dir(const temp_dir&) = delete;
    temp_dir& operator=(const temp_dir&) = delete;
    [[nodiscard]] std::string file(const std::string& name) const {
        return path + "/" + name;
    }
};

struct exit_result {
    bool exited = false;  // false: ended by a signal (or killed at the deadline)
    int status = -1;      // exit status when exited
    int signal = 0;       // the ending signal otherwise
    bool timed_out = false;
};

struct spawn_options {
    std::optional<std::string> stdin_data;  // fed from a file; none: /dev/null
    bool stdin_pipe = false;                // keep a pipe to the child's standard input
    int stdin_fd = -1;                      // use this descriptor (a pty) instead
    bool controlling_tty = false;           // make stdin_fd the child's controlling terminal
    int stdout_fd = -1;                     // use this descriptor instead of a file
    std::string program = FERROX_BINARY;
    std::string argv0;                     // argument 0; the program path when empty
    std::vector<int> extra_open_fds;       // open /dev/null on these numbers in the child
    std::string cwd;                       // the child's working directory, when given
    bool close_stdin = false;              // start the child with descriptor 0 closed
    bool close_stdout = false;             // start the child with descriptor 1 closed
    std::vector<std::string> environment;  // NAME=value, added to the child's environment
    long address_space_limit = 0;          // RLIMIT_AS in bytes, when not 0
    long file_size_limit = 0;              // RLIMIT_FSIZE in bytes, as `ulimit -f`, when not 0
    std::vector<int> ignored_signals;      // ignored at the start, as nohup leaves SIGHUP
};

struct process {
    pid_t pid = -1;
    int stdin_write = -1;  // with stdin_pipe
    std::string out_path;
    std::string err_path;
    [[nodiscard]] std::string out() const;
    [[nodiscard]] std::string err() const;
    void close_stdin();
    // Waits until the process ends, killing it at the deadline.
    exit_result wait(seconds limit = 60s);
    // Waits until standard error holds `text`; false at the deadline or if the process ended
    // without printing it.
    bool wait_for_err(const std::string& text, seconds limit = 20s) const;
    // Whether the process ends within `limit`; it is left to wait() either way.
    [[nodiscard]] bool ended_within(seconds limit) const;
    void signal(int number) const;
    ~process();
};

process spawn(const temp_dir& dir, const std::vector<std::string>& args,
              const spawn_options& options = {});

struct run_result {
    exit_result exit;
    std::string out;
    std::string err;
};

// Runs ferrox to its end with the given standard input.
run_result run(const temp_dir& dir, const std::vector<std::string>& args,
               const std::string& stdin_data = {}, seconds limit = 60s);

[[nodiscard]] inline std::string port_text(int port) {
    return std::to_string(port);
}

// The address of a port on 127.0.0.1, as --host takes it.
[[nodiscard]] inline std::string local_host(int port) {
    return "127.0.0.1:" + port_text(port);
}

// A server played by the test, listening on a free port, and a free port for a ferrox relay
// in front of it.
struct relay_ports {
    int server_port;
    int server;  // the test's listening socket
    int relay_port;
};
[[nodiscard]] relay_ports open_relay_ports();

// ferrox's arguments for a relay from `relay_port` to the server, after `options`.
[[nodiscard]] std::vector<std::string> relay_args(int relay_port, int server_port,
                                                  std::vector<std::string> options = {});

// The two connections of a relay cycle: the test's client to the relay, and the relay's
// onward connection as the test's server accepted it; -1 where one wasn't made in time.
struct relay_connections {
    int client;
    int far;
};
[[nodiscard]] relay_connections connect_through(int relay_port, int server);

[[nodiscard]] std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& data);
[[nodiscard]] std::string random_bytes(std::size_t count, std::uint32_t seed);
[[nodiscard]] int free_tcp_port();
[[nodiscard]] unsigned long zlib_adler32(const std::string& data);
[[nodiscard]] std::size_t count_of(const std::string& text, const std::string& what);

// Blocking helpers for peers played by the test itself.
[[nodiscard]] int connect_tcp(int port, seconds limit = 10s);
[[nodiscard]] int listen_tcp(int port);
[[nodiscard]] int accept_with_deadline(int listening_fd, seconds limit = 20s);
[[nodiscard]] int connect_unix(const std::string& path, seconds limit = 10s);
[[nodiscard]] int listen_unix(const std::string& path);
// The same over ::1.
[[nodiscard]] int connect_ipv6(int port, seconds limit = 10s);
[[nodiscard]] int listen_ipv6(int port);
// Whether an IPv6 socket can be bound to ::1 here.
[[nodiscard]] bool ipv6_loopback_available();
// A port that is free on every IPv4 and IPv6 address at the moment it is picked.
[[nodiscard]] int free_dual_stack_port();
// The address of a port on ::1, as --host takes it.
[[nodiscard]] inline std::string ipv6_host(int port) {
    return "[::1]:" + port_text(port);
}
// The local or peer port of a connected socket, of either family.
[[nodiscard]] int local_port(int fd);
[[nodiscard]] int peer_port(int fd);
// Waits until a file exists at `path`.
[[nodiscard]] bool wait_for_path(const std::string& path, seconds limit = 20s);
// Waits until the file at `path` holds `text`.
[[nodiscard]] bool wait_for_file_text(const std::string& path, const std::string& text,
                                      seconds limit = 20s);
void send_all(int fd, const std::string& data);
// Waits until the bytes queued for reading on `fd` (a socket or a pipe nobody reads) are more
// than none and stay the same for `steady`: the writer at the other end is held up, in its
// copy or in its close. False at the deadline.
[[nodiscard]] bool wait_until_writer_held_up(int fd, seconds steady = 200ms, seconds limit = 20s);
// Reads until the peer closes or the deadline passes.
[[nodiscard]] std::string receive_all(int fd, seconds limit = 60s);
// Reads a socket or a pipe until `count` bytes have arrived, the peer closes or the deadline
// passes.
[[nodiscard]] std::string receive_exactly(int fd, std::size_t count, seconds limit = 20s);

}  // namespace e2e

namespace e2e {

// Waits until something listens on the TCP port of 127.0.0.1 or 0.0.0.0 (from /proc/net/tcp),
// without connecting to it: a one-shot listener would take that connection for its peer.
[[nodiscard]] bool wait_tcp_listening(int port, seconds limit = 20s);
// The same for a listener on an IPv6 address (from /proc/net/tcp6).
[[nodiscard]] bool wait_tcp6_listening(int port, seconds limit = 20s);

// Starts a ferrox listener and waits for its listening line.
process start_listener(const temp_dir& dir, const std::vector<std::string>& args,
                       const spawn_options& options = {});

// The summary line's numbers: bytes, seconds, K/s.
struct summary_numbers {
    long bytes = -1;
    double seconds = -1;
    double rate = -1;
};
// Finds the first line that starts with a byte count and holds `form` ("bytes written to
// stdout", ...), and reads its numbers.
[[nodiscard]] std::optional<summary_numbers> find_summary(const std::string& err,
                                                          const std::string& form);

}  // namespace e2e

#include <algorithm>
#include <cstdlib>
#include <gtest/gtest.h>
#include <netdb.h>  // the resolver errors that resolver_text takes
#include <unistd.h>

namespace e2e {

// The ways a chunk can travel: at the defaults, where ferrox picks the route and size of each
// move wherever no chunk is seen (with -q, a file goes into a TCP connection by read and
// write; a TCP connection goes into a file and a relay passes bytes on that way too); with
// --buffer-size given, moved inside the kernel alone wherever it can (sendfile, splice); or,
// with --sum, through the program for the checksum, at the defaults and at an explicit buffer
// size (where a file is read, then sent by its offset). Tests that must hold byte for byte on
// every one take this as their parameter and put its options in front of ferrox's arguments.
// (Pipes, terminals, appending files and the echo log take the plain read and write path;
// their own tests cover it.)
struct data_path {
    std::string name;
    std::vector<std::string> options;
    bool with_checksum = false;  // every ferrox of the test prints a checksum line
};

class on_every_path : public ::testing::TestWithParam<data_path> {
  protected:
    [[nodiscard]] std::vector<std::string> with_path(std::vector<std::string> args) const {
        args.insert(args.begin(), GetParam().options.begin(), GetParam().options.end());
        return args;
    }
};

// Whether this build's system counts what a peer hasn't acknowledged (the portable build
// doesn't): without the count, a close can't see a reset that comes after both ends, nor a
// reader's progress once our end of data went out.
#ifdef FERROX_NO_UNACKNOWLEDGED_COUNT
constexpr bool counts_unacknowledged_bytes = false;
#else
constexpr bool counts_unacknowledged_bytes = true;
#endif

inline const auto every_path =
    ::testing::Values(data_path{"at_defaults", {}}, data_path{"in_kernel", {"-b", "65536"}},
                      data_path{"with_checksum", {"-s"}, true},
                      data_path{"with_checksum_at_buffer_size", {"-s", "-b", "65536"}, true});

inline std::string path_name(const ::testing::TestParamInfo<data_path>& info) {
    return info.param.name;
}

// The text that the C library of the ferrox under test gives for an error number, as its
// perror prints it: the one this test program is linked with (glibc's), or, where
// FERROX_TEST_ERROR_TEXTS names a program built for another C library (the static musl
// build; tests/support/error_texts.cpp), that program's.
[[nodiscard]] std::string error_text(int error);
// The same for a resolver error (HOST_NOT_FOUND, TRY_AGAIN, ...), as its herror prints it.
[[nodiscard]] std::string resolver_text(int error);

// herror's line for a resolver error: "gethostbyname: Unknown host" for HOST_NOT_FOUND with
// glibc.
inline std::string herror_line(int error) {
    return "gethostbyname: " + resolver_text(error) + "\n";
}

// A name that doesn't exist prints "gethostbyname: Unknown host" (HOST_NOT_FOUND) where a
// resolver answered and "gethostbyname: Host name lookup failure" (TRY_AGAIN) where none can
// be reached (a build root without a network); the status is 2 either way, and both are the
// system's honest answer. The line a case expects, or its offline twin when that is what
// was printed.
inline std::string lookup_line(const std::string& expected, const std::string& printed) {
    const std::string unknown = herror_line(HOST_NOT_FOUND);
    const std::string unreachable = herror_line(TRY_AGAIN);
    return expected == unknown && printed == unreachable ? unreachable : expected;
}

// Called first by tests over ::1. Where the machine has no IPv6 loopback the test says so and
// is skipped; under CI (CI set in the environment) a check that can't run fails instead.
inline void require_ipv6_loopback() {
    if (ipv6_loopback_available()) {
        return;
    }
    const char* ci = std::getenv("CI");
    if (ci != nullptr && *ci != '\0') {
        FAIL() << "no IPv6 loopback (::1) on this machine; CI is set: a check that can't run "
                  "fails the run";
    }
    GTEST_SKIP() << "no IPv6 loopback (::1) on this machine: the IPv6 tests can't run";
}

// For tests against peers that ferrox didn't write (socat, netcat, python3): true, with the
// test skipped, when PROGRAM (a path, or a name looked up on the PATH) isn't installed, as in
// a distribution's build root; under CI the test fails instead. The caller returns at once.
inline bool lacks_program(const std::string& program) {
    std::vector<std::string> candidates;
    if (program.find('/') != std::string::npos) {
        candidates.push_back(program);
    } else {
        const char* path = std::getenv("PATH");
        std::string directories = path != nullptr ? path : "/usr/bin:/bin";
        for (std::size_t at = 0; at <= directories.size();) {
            const std::size_t colon = std::min(directories.find(':', at), directories.size());
            candidates.push_back(directories.substr(at, colon - at) + "/" + program);
            at = colon + 1;
        }
    }
    for (const std::string& candidate : candidates) {
        if (access(candidate.c_str(), X_OK) == 0) {
            return false;
        }
    }
    const char* ci = std::getenv("CI");
    if (ci != nullptr && *ci != '\0') {
        ADD_FAILURE() << program
                      << " is not installed; CI is set: a check that can't run fails the run";
    } else {
        [&] { GTEST_SKIP() << program << " is not installed: the test against it can't run"; }();
    }
    return true;
}

// For tests that preload a library into ferrox (a fault injector, fake name lookups, a
// failing allocator): true, with the test skipped, when FERROX_TEST_STATIC says that the
// ferrox under test is linked statically, which loads no library at all. That is what such
// a binary is, not a check that couldn't run: the skip stands under CI too. The caller
// returns at once.
inline bool cannot_preload() {
    const char* static_binary = std::getenv("FERROX_TEST_STATIC");
    if (static_binary == nullptr || *static_binary == '\0') {
        return false;
    }
    [] { GTEST_SKIP() << "a statically linked ferrox can't have a library preloaded"; }();
    return true;
}

// A test over ::1 (see require_ipv6_loopback).
class on_ipv6_loopback : public ::testing::Test {
  protected:
    void SetUp() override {
        require_ipv6_loopback();
    }
};

template <typename Parameter>
class on_ipv6_loopback_with : public ::testing::TestWithParam<Parameter> {
  protected:
    void SetUp() override {
        require_ipv6_loopback();
    }
};

}  // namespace e2e
