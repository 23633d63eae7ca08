// SPDX-License-Identifier: BSD-2-Clause
#include "harness.hpp"

#include <algorithm>
#include <arpa/inet.h>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace e2e;

int local_port_of(int fd) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
}

void write_to(int fd, const std::string& data) {
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n <= 0) {
            return;
        }
        done += static_cast<std::size_t>(n);
    }
}

// Standard input to the peer and the peer to standard output at the same time.
using two_way_streams = on_every_path;

TEST_P(two_way_streams, standard_streams_and_a_peer_move_both_ways_at_once) {
    temp_dir dir;
    const std::string up = random_bytes(4 << 20, 10), down = random_bytes(4 << 20, 11);
    const int port = free_tcp_port();
    const int server = listen_tcp(port);
    spawn_options options;
    options.stdin_pipe = true;
    process client = spawn(dir, with_path({"-h", local_host(port), "-i", "-o"}), options);
    const int fd = accept_with_deadline(server);
    ASSERT_GE(fd, 0);
    std::thread feeder([&] { write_to(client.stdin_write, up); });
    std::thread sender([&] { send_all(fd, down); });
    const std::string arrived = receive_exactly(fd, up.size(), 60s);
    sender.join();
    feeder.join();
    client.close_stdin();
    close(fd);  // the peer ends too, which ends both directions
    const exit_result result = client.wait(30s);
    close(server);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(arrived, up);
    EXPECT_EQ(client.out(), down);
    const auto summary = find_summary(client.err(), "bytes transfered in");
    ASSERT_TRUE(summary) << client.err();
    EXPECT_EQ(summary->bytes, static_cast<long>(up.size() + down.size()));
}

// A real server and a real client's request through a relay: python3's http.server.
TEST(relay, carries_an_http_exchange_with_a_real_server_unchanged) {
    if (lacks_program("python3")) {
        return;
    }
    temp_dir dir;
    const std::string body = random_bytes(1 << 20, 12);
    write_file(dir.file("page.bin"), body);
    const int server_port = free_tcp_port();
    spawn_options python;
    python.program = "/usr/bin/env";
    process server = spawn(dir,
                           {"python3", "-m", "http.server", port_text(server_port), "--bind",
                            "127.0.0.1", "--directory", dir.path},
                           python);
    ASSERT_TRUE(wait_tcp_listening(server_port, 30s)) << server.err();
    const int relay_port = free_tcp_port();
    process relay =
        start_listener(dir, {"-l", port_text(relay_port), "-h", local_host(server_port)});

    const int client = connect_tcp(relay_port);
    ASSERT_GE(client, 0);
    send_all(client, "GET /page.bin HTTP/1.0\r\nHost: localhost\r\n\r\n");
    const std::string response = receive_all(client, 30s);
    close(client);
    const exit_result result = relay.wait(30s);
    server.signal(SIGKILL);

    EXPECT_EQ(result.status, 0);
    ASSERT_EQ(response.rfind("HTTP/1.0 200", 0), 0U) << response.substr(0, 200);
    const auto end_of_head = response.find("\r\n\r\n");
    ASSERT_NE(end_of_head, std::string::npos);
    EXPECT_TRUE(response.substr(end_of_head + 4) == body);
    EXPECT_NE(relay.err().find("connected to 127.0.0.1 (127.0.0.1) on port " +
                               port_text(server_port) + ".\n"),
              std::string::npos);
    const auto summary = find_summary(relay.err(), "bytes transfered in");
    ASSERT_TRUE(summary) << relay.err();
    EXPECT_GT(summary->bytes, static_cast<long>(body.size()));
}

// 64 MiB each way at once through a relay, both ends played by the test.
using relay_64_mib = on_every_path;

TEST_P(relay_64_mib, moves_64_mib_each_way_at_once_byte_for_byte) {
    temp_dir dir;
    const std::size_t size = 64 << 20;
    const std::string up = random_bytes(size, 13), down = random_bytes(size, 14);
    const auto [server_port, server, relay_port] = open_relay_ports();
    process relay = spawn(dir, with_path(relay_args(relay_port, server_port, {"-q"})));
    ASSERT_TRUE(wait_tcp_listening(relay_port));
    std::string at_server, at_client;
    std::thread server_side([&] {
        const int fd = accept_with_deadline(server);
        std::thread sender([&] { send_all(fd, down); });
        at_server = receive_exactly(fd, size, 120s);
        sender.join();
        close(fd);
    });
    const int client = connect_tcp(relay_port);
    ASSERT_GE(client, 0);
    std::thread sender([&] { send_all(client, up); });
    at_client = receive_exactly(client, size, 120s);
    sender.join();
    server_side.join();
    close(client);
    close(server);
    EXPECT_EQ(relay.wait(60s).status, 0);
    EXPECT_TRUE(at_server == up);
    EXPECT_TRUE(at_client == down);
    EXPECT_EQ(at_server.size(), size);
    EXPECT_EQ(at_client.size(), size);
}

// --timeout measures idleness: a peer that sends every 0.2 s for 2 s keeps a 0.6 s timeout
// from firing; its silence afterwards ends the transfer with "timeout".
TEST(relay_timeout, ends_an_idle_transfer_and_not_a_busy_one) {
    temp_dir dir;
    const int port = free_tcp_port();
    const int server = listen_tcp(port);
    spawn_options options;
    options.stdin_pipe = true;
    process client = spawn(dir, {"-h", local_host(port), "-i", "-o", "-t", "0.6"}, options);
    const int fd = accept_with_deadline(server);
    ASSERT_GE(fd, 0);
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 10; ++i) {
        send_all(fd, "tick\n");
        std::this_thread::sleep_for(200ms);
    }
    const exit_result result = client.wait(20s);
    const seconds lasted = std::chrono::steady_clock::now() - start;
    close(fd);
    close(server);
    EXPECT_EQ(result.status, 0);
    std::string ticks;
    for (int i = 0; i < 10; ++i) {
        ticks += "tick\n";
    }
    EXPECT_EQ(client.out(), ticks);
    EXPECT_NE(client.err().find("timeout\n"), std::string::npos) << client.err();
    EXPECT_GE(lasted.count(), 2.0);
}

// A zero period ends a two-way transfer at its first idle moment with "timeout", as always;
// the close that follows finds every byte delivered (only its end of data may still wait for
// an acknowledgement), which is no timeout and no failure.
TEST(relay_timeout, a_zero_period_ends_with_every_byte_delivered) {
    temp_dir dir;
    const int port = free_tcp_port();
    const int server = listen_tcp(port);
    spawn_options options;
    options.stdin_pipe = true;
    process client = spawn(dir, {"-h", local_host(port), "-i", "-o", "-t", "0"}, options);
    const int peer = accept_with_deadline(server);
    ASSERT_GE(peer, 0);
    const exit_result result = client.wait(20s);
    const std::string arrived = receive_all(peer, 5s);
    close(peer);
    close(server);
    EXPECT_EQ(result.status, 0) << client.err();
    EXPECT_NE(client.err().find("timeout\n"), std::string::npos) << client.err();
    EXPECT_EQ(client.err().find("left unacknowledged"), std::string::npos) << client.err();
    EXPECT_TRUE(arrived.empty());
}

// A period that no wait can take (negative, or with negative microseconds, which is what
// "1e-9" reads as): the first wait fails before any data moves. That is a failure: the run
// says "select: Invalid argument", its status is 1, and the peers see their streams cut, in a
// two-way transfer and in a relay alike.
TEST(relay_timeout, a_period_no_wait_can_take_is_a_failure) {
    for (const char* period : {"-1", "-1e-9", "1e-9"}) {
        for (const bool relay : {false, true}) {
            SCOPED_TRACE(std::string(period) + (relay ? " relay" : " two-way"));
            temp_dir dir;
            const auto [server_port, server, relay_port] = open_relay_ports();
            spawn_options options;
            options.stdin_pipe = true;
            process ferrox =
                relay ? start_listener(dir, relay_args(relay_port, server_port, {"-t", period}))
                      : spawn(dir, {"-h", local_host(server_port), "-i", "-o", "-t", period},
                              options);
            int client = -1;
            int far = -1;
            if (relay) {
                const relay_connections both = connect_through(relay_port, server);
                client = both.client;
                far = both.far;
                send_all(client, random_bytes(100000, 90));
            } else {
                far = accept_with_deadline(server);
            }
            ASSERT_GE(far, 0);
            const exit_result result = ferrox.wait(20s);
            char byte = 0;
            const ssize_t got = recv(far, &byte, 1, 0);
            EXPECT_TRUE(got < 0 && errno == ECONNRESET) << "the server saw a plain end";
            close(far);
            if (client >= 0) {
                close(client);
            }
            close(server);
            EXPECT_EQ(result.status, 1) << ferrox.err();
            EXPECT_NE(ferrox.err().find("select: " + error_text(EINVAL) + "\n"), std::string::npos)
                << ferrox.err();
        }
    }
}

// The echo log of a scripted exchange: separator, connection lines, then "L: " and "H: "
// records in the order the chunks were relayed, with nothing between them.
TEST(echo_log, connect_mode_layout) {
    temp_dir dir;
    const std::string log = dir.file("log");
    const int port = free_tcp_port();
    const int server = listen_tcp(port);
    spawn_options options;
    options.stdin_pipe = true;
    process client = spawn(dir, {"-q", "-h", local_host(port), "-e", log}, options);
    const int fd = accept_with_deadline(server);
    ASSERT_GE(fd, 0);
    write_to(client.stdin_write, "hi\n");
    EXPECT_EQ(receive_exactly(fd, 3), "hi\n");
    send_all(fd, "yo");
    ASSERT_TRUE(wait_for_file_text(client.out_path, "yo"));
    write_to(client.stdin_write, "x\n");
    EXPECT_EQ(receive_exactly(fd, 2), "x\n");
    close(fd);
    client.close_stdin();
    EXPECT_EQ(client.wait(20s).status, 0);
    close(server);
    EXPECT_EQ(read_file(log), "=============\nconnected to 127.0.0.1 (127.0.0.1) on port " +
                                  port_text(port) + ".\nL: hi\nH: yoL: x\n");
    EXPECT_EQ(client.err(), "");  // --quiet: the connection line is in the log only
}

TEST(echo_log, listen_mode_layout_has_no_tcp_listening_line) {
    temp_dir dir;
    const std::string log = dir.file("log");
    const int port = free_tcp_port();
    spawn_options options;
    options.stdin_pipe = true;
    process listener = start_listener(dir, {"-l", port_text(port), "-e", log}, options);
    const int fd = connect_tcp(port);
    ASSERT_GE(fd, 0);
    const int client_port = local_port_of(fd);
    send_all(fd, "abc");
    ASSERT_TRUE(wait_for_file_text(listener.out_path, "abc"));
    write_to(listener.stdin_write, "def");
    EXPECT_EQ(receive_exactly(fd, 3), "def");
    close(fd);
    listener.close_stdin();
    EXPECT_EQ(listener.wait(20s).status, 0);
    EXPECT_EQ(read_file(log), "=============\nconnection from 127.0.0.1 on port " +
                                  port_text(client_port) + ".\nH: abcL: def");
}

TEST(echo_log, relay_mode_layout) {
    temp_dir dir;
    const std::string log = dir.file("log");
    const auto [server_port, server, relay_port] = open_relay_ports();
    process relay = start_listener(dir, relay_args(relay_port, server_port, {"-e", log}));
    const auto [client, far] = connect_through(relay_port, server);
    ASSERT_GE(far, 0);
    const int client_port = local_port_of(client);
    send_all(client, "ping\n");
    EXPECT_EQ(receive_exactly(far, 5), "ping\n");
    send_all(far, "pong\n");
    EXPECT_EQ(receive_exactly(client, 5), "pong\n");
    close(client);
    close(far);  // a relay lasts until both peers have ended
    EXPECT_EQ(relay.wait(20s).status, 0);
    close(server);
    EXPECT_EQ(read_file(log), "=============\nconnection from 127.0.0.1 on port " +
                                  port_text(client_port) +
                                  ".\nconnected to 127.0.0.1 (127.0.0.1) on port " +
                                  port_text(server_port) + ".\nL: ping\nH: pong\n");
}

// Under --continue every cycle adds its separator, connection lines and records to the one
// log, and the TCP listening line never appears in it.
TEST(echo_log, relay_mode_under_continue_adds_a_block_per_cycle) {
    temp_dir dir;
    const std::string log = dir.file("log");
    const auto [server_port, server, relay_port] = open_relay_ports();
    process relay = start_listener(dir, relay_args(relay_port, server_port, {"-c", "-e", log}));
    std::string expected;
    for (const std::string word : {"first", "second"}) {
        const int client = connect_tcp(relay_port);
        ASSERT_GE(client, 0);
        const int client_port = local_port_of(client);
        const int far = accept_with_deadline(server);
        ASSERT_GE(far, 0);
        send_all(client, word);
        EXPECT_EQ(receive_exactly(far, word.size()), word);
        close(far);  // the server ends this cycle
        EXPECT_EQ(receive_all(client, 10s), "");
        close(client);
        expected += "=============\nconnection from 127.0.0.1 on port " + port_text(client_port) +
                    ".\nconnected to 127.0.0.1 (127.0.0.1) on port " + port_text(server_port) +
                    ".\nL: " + word;
        ASSERT_TRUE(relay.wait_for_err(std::to_string(word.size()) + " bytes transfered"));
    }
    // the third cycle writes its separator, then waits for a peer
    expected += "=============\n";
    EXPECT_TRUE(wait_for_file_text(log, expected));
    relay.signal(SIGKILL);
    close(server);
    EXPECT_EQ(read_file(log), expected);
}

// The kernel reports twice the requested size on Linux.
TEST(socket_buffers, verbose_reports_sizes_after_each_connection_line_in_relay_mode) {
    temp_dir dir;
    const auto [server_port, server, relay_port] = open_relay_ports();
    process relay = start_listener(dir, relay_args(relay_port, server_port, {"-v", "-B", "64k"}));
    const auto [client, far] = connect_through(relay_port, server);
    const int client_port = local_port_of(client);
    close(client);
    close(far);
    EXPECT_EQ(relay.wait(20s).status, 0);
    close(server);
    const std::string sizes = "using 131072 byte socket send buffer\n"
                              "using 131072 byte socket recv buffer\n";
    const std::string expected =
        "using 65536 byte buffer\nlistening on 0.0.0.0 port " + port_text(relay_port) +
        ".\nconnection from 127.0.0.1 on port " + port_text(client_port) + ".\n" + sizes +
        "connected to 127.0.0.1 (127.0.0.1) on port " + port_text(server_port) + ".\n" + sizes;
    EXPECT_EQ(relay.err().substr(0, expected.size()), expected);
}

TEST(socket_buffers, verbose_and_quiet_print_the_sizes_without_connection_lines) {
    temp_dir dir;
    const int port = free_tcp_port();
    const int server = listen_tcp(port);
    process client = spawn(dir, {"-v", "-q", "-B", "100000", "-h", local_host(port)});
    const int fd = accept_with_deadline(server);
    EXPECT_EQ(client.wait(20s).status, 0);
    close(fd);
    close(server);
    EXPECT_EQ(client.err(), "using 65536 byte buffer\n"
                            "using 200000 byte socket send buffer\n"
                            "using 200000 byte socket recv buffer\n"
                            "sending  done.\n");
}

// Both ends print the Adler-32 of the data they read, the same as zlib's, whatever the
// chunk size.
TEST(checksum_line, both_ends_agree_with_zlib_at_any_buffer_size) {
    temp_dir dir;
    const std::string file = dir.file("data");
    const std::string data = random_bytes(30000, 15);
    write_file(file, data);
    char expected[32];
    std::snprintf(expected, sizeof expected, "checksum: %lu\n", zlib_adler32(data));
    for (const char* size : {"1", "65536", "7"}) {
        const int port = free_tcp_port();
        process listener = start_listener(dir, {"-l", port_text(port), "-s", "-b", size});
        const run_result client = run(dir, {"-q", "-s", "-b", size, "-h", local_host(port), file});
        listener.wait(30s);
        EXPECT_EQ(client.err, expected) << "buffer " << size;
        const std::string err = listener.err();
        EXPECT_EQ(err.substr(err.size() - std::strlen(expected)), expected) << "buffer " << size;
        EXPECT_EQ(listener.out(), data);
    }
}

TEST(checksum_line, is_never_printed_under_continue_and_is_1_for_no_data) {
    temp_dir dir;
    const int port = free_tcp_port();
    process listener = start_listener(dir, {"-c", "-s", "-l", port_text(port)});
    const run_result client = run(dir, {"-s", "-h", local_host(port)});
    EXPECT_NE(client.err.find("checksum: 1\n"), std::string::npos) << client.err;
    ASSERT_TRUE(listener.wait_for_err("bytes written to stdout"));
    EXPECT_EQ(listener.err().find("checksum"), std::string::npos);
    listener.signal(SIGKILL);
}

// The transfer waits in poll, which has no descriptor limit of its own: a socket numbered
// beyond what select could watch carries a two-way transfer like any other.
TEST(two_way, a_descriptor_beyond_what_select_could_watch_works) {
    temp_dir dir;
    const int port = free_tcp_port();
    const int server = listen_tcp(port);
    spawn_options options;
    options.stdin_pipe = true;
    for (int fd = 3; fd < 1100; ++fd) {
        options.extra_open_fds.push_back(fd);
    }
    process client = spawn(dir, {"-q", "-h", local_host(port), "-i", "-o"}, options);
    const int fd = accept_with_deadline(server);
    ASSERT_GE(fd, 0);
    send_all(fd, "reply\n");
    shutdown(fd, SHUT_WR);
    client.close_stdin();
    const exit_result result = client.wait(20s);
    close(fd);
    close(server);
    EXPECT_EQ(result.status, 0) << client.err();
    EXPECT_EQ(client.out(), "reply\n");
}

INSTANTIATE_TEST_SUITE_P(paths, relay_64_mib, every_path, path_name);

INSTANTIATE_TEST_SUITE_P(paths, two_way_streams, every_path, path_name);

}  // namespace

namespace {

using clock_type = std::chrono::steady_clock;

double milliseconds_since(clock_type::time_point start) {
    return std::chrono::duration<double, std::milli>(clock_type::now() - start).count();
}

// Nothing stays held in the relay when it goes back to waiting: the tail of a reply that is
// followed by silence, and a single byte each way, go through at once. (A relay that batches
// chunks for the kernel and forgets to push before it waits holds them for 200 ms or more;
// the limits here are far from that and far above what a loaded machine needs.)
using relay_latency = on_every_path;

TEST_P(relay_latency, the_tail_of_a_reply_and_a_one_byte_round_trip_are_not_held) {
    temp_dir dir;
    const auto [server_port, server, relay_port] = open_relay_ports();
    process relay = start_listener(dir, relay_args(relay_port, server_port, GetParam().options));
    const auto [client, far] = connect_through(relay_port, server);
    ASSERT_GE(far, 0);
    // whole chunks, so that no short last chunk pushes out what came before it
    const std::string reply = random_bytes(4 * 65536, 60);
    send_all(far, reply);
    const auto sent = clock_type::now();
    const std::string arrived = receive_exactly(client, reply.size(), 10s);
    const double tail_ms = milliseconds_since(sent);
    EXPECT_TRUE(arrived == reply);
    EXPECT_LT(tail_ms, 150.0) << "the last byte of a 256 KiB reply came late";

    std::vector<double> round_trips;
    for (int trip = 0; trip < 5; ++trip) {
        const auto start = clock_type::now();
        send_all(client, "?");
        EXPECT_EQ(receive_exactly(far, 1, 10s), "?");
        send_all(far, "!");
        EXPECT_EQ(receive_exactly(client, 1, 10s), "!");
        round_trips.push_back(milliseconds_since(start));
    }
    std::sort(round_trips.begin(), round_trips.end());
    EXPECT_LT(round_trips[2], 100.0) << "median one-byte round trip through the relay";
    close(client);
    close(far);
    close(server);
    EXPECT_EQ(relay.wait(20s).status, 0);
}

INSTANTIATE_TEST_SUITE_P(paths, relay_latency, every_path, path_name);

}  // namespace

namespace {

// A reader in a process of its own, which the test can stop: it asks the HTTP server behind
// the relay on `relay_port` for `name`, then reads at `rate` bytes a second, a tenth of a
// second's worth at a time, into the file `saved`, until the stream ends. It exits with 0 at
// the end of the data, 2 on a reset, 1 otherwise.
process paced_http_reader(int relay_port, const std::string& name, std::size_t rate,
                          const std::string& saved) {
    process reader;
    reader.pid = fork();
    if (reader.pid != 0) {
        return reader;
    }
    const int out = open(saved.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    const int fd = connect_tcp(relay_port);
    if (out < 0 || fd < 0) {
        _exit(1);
    }
    send_all(fd, "GET /" + name + " HTTP/1.0\r\nHost: localhost\r\n\r\n");
    std::vector<char> block(rate / 10);
    auto next = std::chrono::steady_clock::now();
    for (;;) {
        const ssize_t n = recv(fd, block.data(), block.size(), 0);
        if (n <= 0) {
            _exit(n == 0 ? 0 : errno == ECONNRESET ? 2 : 1);
        }
        if (write(out, block.data(), static_cast<std::size_t>(n)) != n) {
            _exit(1);
        }
        next += std::chrono::microseconds(n * 1'000'000 / static_cast<ssize_t>(rate));
        std::this_thread::sleep_until(next);
    }
}

// Waits until the file at `path` holds at least `size` bytes.
bool holds_at_least(const std::string& path, std::size_t size, seconds limit = 20s) {
    const auto deadline = clock_type::now() + limit;
    while (read_file(path).size() < size) {
        if (clock_type::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

// The bytes waiting unread in the receive queue of the test's connection to `remote_port` on
// 127.0.0.1 (from /proc/net/tcp); -1 where there is no such connection.
long receive_queue_towards(int remote_port) {
    char port_hex[8];
    std::snprintf(port_hex, sizeof port_hex, "%04X", remote_port);
    const std::string table = read_file("/proc/net/tcp");
    std::size_t at = table.find('\n');
    while (at != std::string::npos && at + 1 < table.size()) {
        const std::size_t end = table.find('\n', at + 1);
        const std::string line = table.substr(at + 1, end - at - 1);
        at = end;
        char local[64] = {};
        char remote[64] = {};
        unsigned state = 0;
        unsigned long sending = 0;
        unsigned long receiving = 0;
        if (std::sscanf(line.c_str(), " %*d: %63s %63s %x %lx:%lx", local, remote, &state, &sending,
                        &receiving) == 5 &&
            std::string(remote).substr(std::string(remote).find(':') + 1) == port_hex) {
            return static_cast<long>(receiving);
        }
    }
    return -1;
}

// Whether the process has ended (it is left to be waited for).
bool has_ended(pid_t pid) {
    siginfo_t info{};
    return waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
           info.si_pid == pid;
}

// The body of an HTTP response saved whole.
std::string body_of(const std::string& response) {
    const auto end_of_head = response.find("\r\n\r\n");
    return end_of_head == std::string::npos ? std::string{} : response.substr(end_of_head + 4);
}

// What --timeout can see of a TCP reader: a relay sees the reader's progress only as the
// reader's system acknowledges bytes, which it does as it reopens its window, in steps
// (about 300 KB with curl behind pv at 200 KB/s); --timeout must exceed the time a step
// takes at the reader's rate. A relay under -t 3 in front of python3's http.server: a reader
// at 200 KB/s is served whole with status 0; a reader stopped by SIGSTOP is cut within the
// period plus 250 ms (the longest time between two looks at the queue), the relay's status
// is 1, and the reader, continued, sees a reset. Labelled slow: about 10 s, 5 s of it the
// first row's reading.
TEST(relay_timeout, a_slow_tcp_reader_is_served_whole_and_a_stopped_one_is_cut) {
    if (lacks_program("python3")) {
        return;
    }
    temp_dir dir;
    const std::string small = random_bytes(1'000'000, 70);
    // more than the stopped reader's system takes in, so that some stays unacknowledged
    const std::string big = random_bytes(8 << 20, 71);
    write_file(dir.file("small.bin"), small);
    write_file(dir.file("big.bin"), big);
    const int server_port = free_tcp_port();
    spawn_options python;
    python.program = "/usr/bin/env";
    process server = spawn(dir,
                           {"python3", "-m", "http.server", port_text(server_port), "--bind",
                            "127.0.0.1", "--directory", dir.path},
                           python);
    ASSERT_TRUE(wait_tcp_listening(server_port, 30s)) << server.err();
    constexpr double period = 3;
    const std::string period_text = "3";
    struct reader_case {
        std::string name;
        std::string file;
        bool stopped;
    };
    const reader_case cases[] = {
        {"a reader at 200 KB/s", "small.bin", false},
        {"a reader stopped by SIGSTOP", "big.bin", true},
    };
    for (const reader_case& row : cases) {
        SCOPED_TRACE(row.name);
        const int relay_port = free_tcp_port();
        process relay = start_listener(
            dir, {"-l", port_text(relay_port), "-h", local_host(server_port), "-t", period_text});
        const std::string saved = dir.file("got-" + row.file);
        process reader = paced_http_reader(relay_port, row.file, 200'000, saved);
        ASSERT_GT(reader.pid, 0);
        if (!row.stopped) {
            const exit_result read = reader.wait(30s);
            const exit_result result = relay.wait(20s);
            EXPECT_TRUE(read.exited && read.status == 0);
            EXPECT_TRUE(result.exited && result.status == 0) << relay.err();
            if (counts_unacknowledged_bytes) {
                // Where the system can't count them, the relay has handed every byte to its
                // system when the period passes, and ends with "timeout", status 0.
                EXPECT_EQ(relay.err().find("timeout"), std::string::npos) << relay.err();
            }
            EXPECT_TRUE(body_of(read_file(saved)) == small)
                << read_file(saved).size() << " bytes arrived";
            continue;
        }
        ASSERT_TRUE(holds_at_least(saved, 200'000));
        reader.signal(SIGSTOP);
        // The reader's system still takes what its window allows after the stop: the period
        // runs from the last of that at the latest.
        auto last_taken = clock_type::now();
        long queued = receive_queue_towards(relay_port);
        const auto deadline = last_taken + 20s;
        while (!has_ended(relay.pid) && clock_type::now() < deadline) {
            const long now_queued = receive_queue_towards(relay_port);
            if (now_queued > queued) {
                queued = now_queued;
                last_taken = clock_type::now();
            }
            std::this_thread::sleep_for(5ms);
        }
        const double lasted_ms = milliseconds_since(last_taken);
        const exit_result result = relay.wait(5s);
        reader.signal(SIGCONT);
        const exit_result read = reader.wait(20s);
        EXPECT_TRUE(result.exited && result.status == 1) << relay.err();
        EXPECT_NE(relay.err().find("timeout"), std::string::npos) << relay.err();
        EXPECT_LT(lasted_ms, period * 1000 + 250) << relay.err();
        EXPECT_TRUE(read.exited && read.status == 2) << "the reader wasn't reset";
        EXPECT_LT(read_file(saved).size(), big.size());
    }
    server.signal(SIGKILL);
}

}  // namespace
