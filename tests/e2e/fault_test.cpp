// SPDX-License-Identifier: BSD-2-Clause
// Fault injection: each case provokes one fault and checks that no byte is lost or
// duplicated and that the messages and the exit status tell the truth.
#include "harness.hpp"

#include <arpa/inet.h>
#include <atomic>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <sstream>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace e2e;

// Sends `data` until the peer stops taking it; used by peers that keep talking while the
// other side of the transfer ends. It never blocks in a send, so that `stop` ends it at once:
// a peer that reads a byte at a time could hold a blocked send of a chunk for seconds.
void send_until_refused(int fd, const std::atomic<bool>& stop) {
    const std::string chunk(16384, 'z');
    while (!stop) {
        pollfd room{fd, POLLOUT, 0};
        if (poll(&room, 1, 20) == 0) {
            continue;
        }
        const ssize_t sent = send(fd, chunk.data(), chunk.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent == 0 || (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) {
            return;
        }
    }
}

// A side ends while the other still sends: everything ferrox has already passed on to the
// first side's peer must arrive, not be thrown away by a reset.
TEST(fault_close, bytes_passed_on_arrive_while_the_other_side_keeps_sending_relay) {
    for (int round = 0; round < 3; ++round) {
        temp_dir dir;
        const std::string payload = random_bytes(200000, 50 + static_cast<std::uint32_t>(round));
        const auto [server_port, server, relay_port] = open_relay_ports();
        process relay = start_listener(dir, relay_args(relay_port, server_port));
        const auto [client, far] = connect_through(relay_port, server);
        ASSERT_GE(far, 0);
        std::atomic<bool> stop{false};
        // the client keeps sending and reads nothing until the server has ended; then it ends
        // too, and the server reads what it sent to the end
        std::thread chatter([&] { send_until_refused(client, stop); });
        std::thread drain([&] { [[maybe_unused]] auto ignored = receive_all(far, 30s); });
        send_all(far, payload);
        shutdown(far, SHUT_WR);
        std::this_thread::sleep_for(200ms);
        const std::string arrived = receive_exactly(client, payload.size(), 20s);
        stop = true;
        shutdown(client, SHUT_WR);
        chatter.join();
        drain.join();
        close(far);
        close(client);
        close(server);
        EXPECT_EQ(relay.wait(20s).status, 0);
        EXPECT_EQ(arrived.size(), payload.size()) << "round " << round;
        EXPECT_TRUE(arrived == payload);
    }
}

TEST(fault_close, bytes_passed_on_arrive_while_the_other_side_keeps_sending_two_way) {
    temp_dir dir;
    const std::string payload = random_bytes(200000, 60);
    const std::string file = dir.file("payload");
    write_file(file, payload);
    // ferrox's standard input holds the payload and then ends; its peer reads and keeps
    // sending all the while.
    const int port = free_tcp_port();
    const int server = listen_tcp(port);
    spawn_options options;
    options.stdin_data = payload;
    process client = spawn(dir, {"-i", "-o", "-h", local_host(port)}, options);
    const int fd = accept_with_deadline(server);
    ASSERT_GE(fd, 0);
    std::atomic<bool> stop{false};
    std::thread chatter([&] { send_until_refused(fd, stop); });
    const std::string arrived = receive_all(fd, 20s);
    // standard input's end came as a half-close: ferrox reads on until the peer ends too
    stop = true;
    shutdown(fd, SHUT_WR);
    chatter.join();
    EXPECT_EQ(client.wait(20s).status, 0);
    close(fd);
    close(server);
    // Standard input, a file, is always readable and is served first, so the whole payload
    // was passed on before its end, while the peer kept sending.
    EXPECT_EQ(arrived.size(), payload.size());
    EXPECT_TRUE(arrived == payload);
}

// A side that is always readable must not starve the other: with one-byte chunks the
// relay can't keep up with a client that never stops sending, yet the server's reply gets
// through.
TEST(fault_fairness, a_busy_side_does_not_starve_the_other) {
    temp_dir dir;
    const auto [server_port, server, relay_port] = open_relay_ports();
    process relay = start_listener(dir, relay_args(relay_port, server_port, {"-b", "1"}));
    const auto [client, far] = connect_through(relay_port, server);
    ASSERT_GE(far, 0);
    std::atomic<bool> stop{false};
    std::thread chatter([&] { send_until_refused(client, stop); });
    std::thread drain([&] { [[maybe_unused]] auto ignored = receive_all(far, 20s); });
    std::this_thread::sleep_for(200ms);
    send_all(far, "reply");
    EXPECT_EQ(receive_exactly(client, 5, 10s), "reply");
    stop = true;
    chatter.join();
    // The server goes with what the client sent still unread: a reset, which the relay
    // reports and passes on.
    const linger reset{1, 0};
    setsockopt(far, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    shutdown(far, SHUT_RDWR);
    drain.join();
    close(far);
    const exit_result result = relay.wait(20s);
    close(client);
    close(server);
    EXPECT_TRUE(result.exited) << "signal " << result.signal << ": " << relay.err();
    EXPECT_EQ(result.status, 1) << relay.err();
}

// Reads `count` bytes, stopping for `pause` once `pause_after` bytes have arrived.
std::string receive_with_pause(int fd, std::size_t count, std::size_t pause_after, seconds pause) {
    std::string data = receive_exactly(fd, pause_after, 30s);
    std::this_thread::sleep_for(pause);
    data += receive_exactly(fd, count - data.size(), 60s);
    return data;
}

enum class transfer_mode { one_way, two_way, relay };

// The peer stops reading for three seconds in mid-transfer, then drains: the data arrives
// whole in every mode. Slow (a label in tests/CMakeLists.txt): three pauses of 3 s.
TEST(fault_slow_receiver, data_arrives_whole_after_a_pause) {
    const std::size_t size = 24 << 20;
    for (const auto mode : {transfer_mode::one_way, transfer_mode::two_way, transfer_mode::relay}) {
        temp_dir dir;
        const std::string data = random_bytes(size, 70);
        const std::string file = dir.file("data");
        write_file(file, data);
        const int server_port = free_tcp_port();
        const int server = listen_tcp(server_port);
        std::vector<std::string> args;
        spawn_options options;
        int relay_port = 0;
        if (mode == transfer_mode::one_way) {
            args = {"-h", local_host(server_port), file};
        } else if (mode == transfer_mode::two_way) {
            args = {"-i", "-o", "-h", local_host(server_port)};
            options.stdin_pipe = true;  // ends only when the peer ends
        } else {
            relay_port = free_tcp_port();
            args = {"-l", port_text(relay_port), "-h", local_host(server_port)};
        }
        process ferrox = spawn(dir, args, options);
        int client = -1;
        std::thread feeder;
        if (mode == transfer_mode::relay) {
            ASSERT_TRUE(ferrox.wait_for_err("listening on"));
            client = connect_tcp(relay_port);
            feeder = std::thread([&] {
                send_all(client, data);
                shutdown(client, SHUT_WR);
            });
        } else if (mode == transfer_mode::two_way) {
            feeder = std::thread([&] {
                std::size_t done = 0;
                while (done < data.size()) {
                    const ssize_t n =
                        write(ferrox.stdin_write, data.data() + done, data.size() - done);
                    if (n <= 0) {
                        return;
                    }
                    done += static_cast<std::size_t>(n);
                }
            });
        }
        const int fd = accept_with_deadline(server);
        ASSERT_GE(fd, 0);
        const std::string arrived = receive_with_pause(fd, size, size / 3, 3s);
        if (feeder.joinable()) {
            feeder.join();
            ferrox.close_stdin();
        }
        close(fd);
        const exit_result result = ferrox.wait(30s);
        if (client >= 0) {
            close(client);
        }
        close(server);
        const int label = static_cast<int>(mode);
        EXPECT_EQ(result.status, 0) << "mode " << label << ": " << ferrox.err();
        EXPECT_EQ(arrived.size(), size) << "mode " << label;
        EXPECT_TRUE(arrived == data) << "mode " << label;
    }
}

// The accepted client goes away while the relay is writing to it, resetting the connection
// with data unread: the relay reports the cut, passes it on to the server, prints its
// summary, and is not killed by SIGPIPE.
TEST(fault_relay, the_peer_closing_while_the_relay_writes_to_it) {
    temp_dir dir;
    const auto [server_port, server, relay_port] = open_relay_ports();
    process relay = start_listener(dir, relay_args(relay_port, server_port));
    const auto [client, far] = connect_through(relay_port, server);
    ASSERT_GE(far, 0);
    std::thread flood([&] { send_all(far, random_bytes(64 << 20, 71)); });
    [[maybe_unused]] auto first = receive_exactly(client, 100000, 20s);
    close(client);
    const exit_result result = relay.wait(30s);
    shutdown(far, SHUT_RDWR);
    flood.join();
    close(far);
    close(server);
    EXPECT_TRUE(result.exited) << "signal " << result.signal;
    EXPECT_EQ(result.status, 1);
    // the reset shows on the relay's next read or write of that connection, whichever comes first
    EXPECT_NE(relay.err().find(": " + error_text(ECONNRESET) + "\n"), std::string::npos)
        << relay.err();
    EXPECT_TRUE(find_summary(relay.err(), "bytes transfered in")) << relay.err();
}

TEST(fault_relay, the_onward_server_refusing_ends_the_run_and_drops_the_peer) {
    temp_dir dir;
    const int closed_port = free_tcp_port();
    const int relay_port = free_tcp_port();
    process relay =
        start_listener(dir, {"-l", port_text(relay_port), "-h", local_host(closed_port)});
    const int client = connect_tcp(relay_port);
    ASSERT_GE(client, 0);
    const exit_result result = relay.wait(20s);
    EXPECT_EQ(result.status, 1);
    const std::string err = relay.err();
    EXPECT_NE(err.find("connect: " + error_text(ECONNREFUSED) + "\nerror connecting socket\n"),
              std::string::npos)
        << err;
    EXPECT_EQ(receive_all(client, 5s), "");  // the peer is dropped
    close(client);
}

TEST(fault_relay, the_onward_server_closing_first_delivers_its_last_bytes) {
    temp_dir dir;
    const auto [server_port, server, relay_port] = open_relay_ports();
    process relay = start_listener(dir, relay_args(relay_port, server_port));
    const auto [client, far] = connect_through(relay_port, server);
    ASSERT_GE(far, 0);
    const std::string farewell = random_bytes(300000, 72);
    send_all(far, farewell);
    close(far);
    EXPECT_TRUE(receive_all(client, 20s) == farewell);
    close(client);  // the relay lasts until its client ends too
    EXPECT_EQ(relay.wait(20s).status, 0);
    close(server);
}

long cpu_ticks(pid_t pid) {
    std::istringstream stat(read_file("/proc/" + std::to_string(pid) + "/stat"));
    std::string field;
    long utime = 0, stime = 0;
    // the command name may hold blanks, but ferrox's doesn't: fields 14 and 15
    for (int index = 1; index <= 15 && stat >> field; ++index) {
        if (index == 14) {
            utime = std::stol(field);
        } else if (index == 15) {
            stime = std::stol(field);
        }
    }
    return utime + stime;
}

TEST(fault_idle, an_idle_transfer_uses_no_cpu) {
    temp_dir dir;
    const int port = free_tcp_port();
    const int server = listen_tcp(port);
    spawn_options options;
    options.stdin_pipe = true;
    process client = spawn(dir, {"-i", "-o", "-t", "30", "-h", local_host(port)}, options);
    const int fd = accept_with_deadline(server);
    ASSERT_TRUE(client.wait_for_err("connected to"));
    const long before = cpu_ticks(client.pid);
    std::this_thread::sleep_for(1500ms);
    const long after = cpu_ticks(client.pid);
    EXPECT_LE(after - before, 2) << "CPU ticks used while idle";
    close(fd);
    client.close_stdin();
    EXPECT_EQ(client.wait(20s).status, 0);
    close(server);
}

// The default SIGPIPE action ends a receiver whose standard output pipe has no reader.
TEST(fault_stdout, a_pipe_whose_reader_has_gone_ends_the_process_by_sigpipe) {
    temp_dir dir;
    int pipe_fds[2];
    ASSERT_EQ(pipe2(pipe_fds, O_CLOEXEC), 0);
    const int port = free_tcp_port();
    spawn_options options;
    options.stdout_fd = pipe_fds[1];
    process listener = start_listener(dir, {"-l", port_text(port)}, options);
    close(pipe_fds[1]);
    close(pipe_fds[0]);
    const int client = connect_tcp(port);
    send_all(client, std::string(100000, 'p'));
    const exit_result result = listener.wait(20s);
    close(client);
    EXPECT_FALSE(result.exited);
    EXPECT_EQ(result.signal, SIGPIPE);
}

// Started without standard input, or with /dev/null: nothing is sent, and no socket takes
// descriptor 0 (it would be read as standard input and sent back to its own peer).
TEST(fault_stdin, closed_or_empty_standard_input_sends_nothing) {
    for (const bool closed : {true, false}) {
        temp_dir dir;
        const int port = free_tcp_port();
        const int server = listen_tcp(port);
        spawn_options options;
        options.close_stdin = closed;
        process client = spawn(dir, {"-h", local_host(port)}, options);
        const int fd = accept_with_deadline(server);
        ASSERT_GE(fd, 0);
        send_all(fd, "must not come back");
        EXPECT_EQ(receive_all(fd, 10s), "") << (closed ? "closed" : "/dev/null");
        EXPECT_EQ(client.wait(20s).status, 0);
        EXPECT_TRUE(find_summary(client.err(), "0 bytes written to 127.0.0.1"));
        close(fd);
        close(server);
    }
}

// Started without standard output: /dev/null keeps its number from a socket, but what a
// transfer would write there reaches nobody, so such a transfer fails as a write to a closed
// descriptor does (as cat's), even before a byte came; a --continue listener ends the run
// there, since every cycle would fail alike. A run that never writes standard output (a
// sender) is untouched. A row per role; the test plays the peer.
struct closed_output_case {
    std::string name;
    std::vector<std::string> options;  // before the address
    bool listens;                      // ferrox listens, the test connects
    bool fails;
};

void PrintTo(const closed_output_case& c, std::ostream* out) {
    *out << c.name;
}

class closed_stdout : public ::testing::TestWithParam<closed_output_case> {};

TEST_P(closed_stdout, a_transfer_that_writes_it_fails_with_a_bad_descriptor) {
    const closed_output_case& c = GetParam();
    temp_dir dir;
    const std::string file = dir.file("data");
    write_file(file, "a file to send");
    const int port = free_tcp_port();
    spawn_options options;
    options.close_stdout = true;
    std::vector<std::string> args = c.options;
    int server = -1;
    if (c.listens) {
        args.insert(args.end(), {"-l", port_text(port)});
    } else {
        server = listen_tcp(port);
        args.insert(args.end(), {"-h", local_host(port)});
    }
    if (!c.fails) {
        args.push_back(file);  // a sender's operand
    }
    process ferrox = c.listens ? start_listener(dir, args, options) : spawn(dir, args, options);
    const int peer = c.listens ? connect_tcp(port) : accept_with_deadline(server);
    ASSERT_GE(peer, 0);
    send_all(peer, std::string(100000, 'w'));
    shutdown(peer, SHUT_WR);
    const std::string received = receive_all(peer, 20s);
    const exit_result ended = ferrox.wait(20s);
    close(peer);
    if (server >= 0) {
        close(server);
    }
    EXPECT_FALSE(ended.timed_out) << ferrox.err();
    if (c.fails) {
        EXPECT_EQ(ended.status, 1) << ferrox.err();
        EXPECT_NE(ferrox.err().find("write: Bad file descriptor\n"), std::string::npos)
            << ferrox.err();
        EXPECT_TRUE(find_summary(ferrox.err(), "bytes")) << "the summary still prints";
    } else {
        EXPECT_EQ(ended.status, 0) << ferrox.err();
        EXPECT_EQ(received, "a file to send");
        EXPECT_EQ(ferrox.err().find("Bad file descriptor"), std::string::npos) << ferrox.err();
    }
}

INSTANTIATE_TEST_SUITE_P(
    rows, closed_stdout,
    ::testing::Values(closed_output_case{"receiving_client", {"-o"}, false, true},
                      closed_output_case{"listener", {}, true, true},
                      closed_output_case{"two_way_client", {"-i", "-o"}, false, true},
                      closed_output_case{"two_way_listener", {"-i", "-o"}, true, true},
                      closed_output_case{"continue_listener", {"-c"}, true, true},
                      closed_output_case{"sending_client", {}, false, false}),
    [](const ::testing::TestParamInfo<closed_output_case>& info) { return info.param.name; });

// An echo log that can't grow (a file past the size limit, /dev/full): its records are lost,
// the transfer is not. As tee does, the first failure is reported in one line under the
// log's path, and the run ends with status 1.
TEST(fault_echo_log, a_full_file_system_does_not_stop_the_transfer) {
    struct full_log_case {
        std::string name;
        bool size_limited;  // a file in the test's directory under `ulimit -f`; or /dev/full
        std::string reason;
    };
    const full_log_case cases[] = {
        {"a file past the size limit", true, "File too large"},
        {"/dev/full", false, "No space left on device"},
    };
    for (const full_log_case& row : cases) {
        SCOPED_TRACE(row.name);
        temp_dir dir;
        const std::string log = row.size_limited ? dir.file("log") : "/dev/full";
        const std::string data = random_bytes(1 << 20, 73);
        const int port = free_tcp_port();
        const int server = listen_tcp(port);
        // standard output goes to a pipe, which the file size limit doesn't touch
        int out_pipe[2];
        ASSERT_EQ(pipe2(out_pipe, O_CLOEXEC), 0);
        spawn_options options;
        options.stdin_pipe = true;
        if (row.size_limited) {
            options.file_size_limit = 4096;
        }
        options.stdout_fd = out_pipe[1];
        process client = spawn(dir, {"-q", "-e", log, "-h", local_host(port)}, options);
        close(out_pipe[1]);
        std::string output;
        std::thread reader([&] {
            char buffer[65536];
            ssize_t n = 0;
            while ((n = read(out_pipe[0], buffer, sizeof buffer)) > 0) {
                output.append(buffer, static_cast<std::size_t>(n));
            }
        });
        const int fd = accept_with_deadline(server);
        ASSERT_GE(fd, 0);
        send_all(fd, data);
        shutdown(fd, SHUT_WR);
        client.close_stdin();
        EXPECT_EQ(client.wait(30s).status, 1) << client.err();
        reader.join();
        close(out_pipe[0]);
        close(fd);
        close(server);
        EXPECT_TRUE(output == data) << output.size() << " of " << data.size() << " bytes";
        EXPECT_EQ(client.err(), log + ": " + row.reason + "\n");
        if (row.size_limited) {
            EXPECT_GT(read_file(log).size(), 0U);
            EXPECT_LE(read_file(log).size(), 4096U);
        }
    }
}

// An echo log that is a FIFO whose reader stalls: its records wait in the transfer's one
// wait, so --timeout and Ctrl-C still end the transfer; a reader that drains it late gets every
// record whole, and standard output every byte.
TEST(fault_echo_log, a_fifo_whose_reader_stalls_holds_nothing_up) {
    enum class ended_by { timeout, interrupt, late_reader };
    for (const ended_by how : {ended_by::timeout, ended_by::interrupt, ended_by::late_reader}) {
        SCOPED_TRACE(how == ended_by::timeout     ? "timeout"
                     : how == ended_by::interrupt ? "interrupt"
                                                  : "late reader");
        temp_dir dir;
        const std::string log = dir.file("log");
        ASSERT_EQ(mkfifo(log.c_str(), 0600), 0);
        const int log_reader = open(log.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        ASSERT_GE(log_reader, 0);
        // lower-case letters, so that the records' "H: " labels stand out
        std::string data = random_bytes(1 << 20, 74);
        for (char& each : data) {
            each = static_cast<char>('a' + static_cast<unsigned char>(each) % 26);
        }
        const int port = free_tcp_port();
        const int server = listen_tcp(port);
        spawn_options options;
        options.stdin_pipe = true;
        std::vector<std::string> args{"-q", "-e", log, "-h", local_host(port)};
        if (how == ended_by::timeout) {
            args.insert(args.end(), {"-t", "1"});
        }
        process client = spawn(dir, args, options);
        const int fd = accept_with_deadline(server);
        ASSERT_GE(fd, 0);
        client.close_stdin();  // the peer's end is what ends the transfer
        std::thread feed([&] {
            send_all(fd, data);
            shutdown(fd, SHUT_WR);
        });
        EXPECT_TRUE(wait_until_writer_held_up(log_reader)) << "the FIFO never filled";
        std::string logged;
        if (how == ended_by::interrupt) {
            client.signal(SIGINT);
        } else if (how == ended_by::late_reader) {
            const int flags = fcntl(log_reader, F_GETFL);
            fcntl(log_reader, F_SETFL, flags & ~O_NONBLOCK);
            char buffer[65536];
            ssize_t n = 0;
            while ((n = read(log_reader, buffer, sizeof buffer)) > 0) {
                logged.append(buffer, static_cast<std::size_t>(n));
            }
        }
        const exit_result result = client.wait(10s);
        shutdown(fd, SHUT_RDWR);
        feed.join();
        close(fd);
        close(server);
        close(log_reader);
        EXPECT_FALSE(result.timed_out) << "the echo log held the transfer";
        if (how == ended_by::timeout) {
            EXPECT_NE(client.err().find("timeout\n"), std::string::npos) << client.err();
        } else if (how == ended_by::interrupt) {
            EXPECT_NE(client.err().find("interupted.\n"), std::string::npos) << client.err();
        } else {
            EXPECT_EQ(result.status, 0) << client.err();
            EXPECT_TRUE(client.out() == data) << client.out().size() << " of " << data.size();
            // the separator and the connection line, then one "H: " record per chunk read
            // from the connection, each whole
            EXPECT_EQ(logged.compare(0, 14, "=============\n"), 0);
            std::string payload;
            for (std::size_t at = logged.find("H: "); at != std::string::npos;) {
                const std::size_t next = logged.find("H: ", at + 3);
                payload += logged.substr(at + 3, next == std::string::npos ? next : next - at - 3);
                at = next;
            }
            EXPECT_TRUE(payload == data) << payload.size() << " of " << data.size();
        }
    }
}

// Standard output that can't take more (a full disk; here a file size limit, as `ulimit -f`
// sets it) loses the peer's bytes: ferrox says so and ends with status 1, unlike a peer that
// went away. The system's SIGXFSZ must not end it silently instead: the failed write is
// reported like any other, on every route into the file, and a listener's socket file is
// removed. A SIGXFSZ that the parent left ignored stays ignored.
struct file_size_case {
    std::string name;
    enum { two_way_client, unix_listener, tcp_listener } role;
    std::vector<std::string> options;
    bool ignored_at_start = false;
};

TEST(fault_stdout, a_write_past_the_file_size_limit_is_reported_and_tidied_up) {
    const std::vector<file_size_case> cases = {
        // two-way: read and written (the default out of TCP into a file), spliced by the
        // kernel (an explicit buffer size), with the checksum at that size, and with the echo
        // log's copy
        {"two-way, read and write", file_size_case::two_way_client, {}},
        {"two-way, splice", file_size_case::two_way_client, {"-b", "65536"}},
        {"two-way, checksum", file_size_case::two_way_client, {"-s", "-b", "65536"}},
        {"two-way, echo log", file_size_case::two_way_client, {"-e", "echo.log"}},
        {"two-way, SIGXFSZ ignored at start", file_size_case::two_way_client, {}, true},
        // one-way receivers, with their socket file: spliced at the defaults and with a
        // buffer size, and by read and write with the checksum
        {"UNIX listener", file_size_case::unix_listener, {}},
        {"UNIX listener, splice", file_size_case::unix_listener, {"-b", "65536"}},
        {"UNIX listener, checksum", file_size_case::unix_listener, {"-s"}},
        {"UNIX listener, SIGXFSZ ignored at start", file_size_case::unix_listener, {}, true},
        // TCP into a file: read and written up to 1 MiB at a time at the defaults, spliced with a
        // buffer size
        {"TCP listener, read and write", file_size_case::tcp_listener, {}},
        {"TCP listener, splice", file_size_case::tcp_listener, {"-b", "65536"}},
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.name);
        temp_dir dir;
        spawn_options options;
        options.file_size_limit = 4096;
        options.cwd = dir.path;
        if (row.ignored_at_start) {
            options.ignored_signals = {SIGXFSZ};
        }
        std::vector<std::string> args = row.options;
        const std::string socket_path = dir.file("s");
        const int port = free_tcp_port();
        const bool two_way = row.role == file_size_case::two_way_client;
        const int server = two_way ? listen_tcp(port) : -1;
        if (two_way) {
            options.stdin_pipe = true;
            args.insert(args.end(), {"-i", "-o", "-h", local_host(port)});
        } else if (row.role == file_size_case::unix_listener) {
            args.insert(args.end(), {"-U", socket_path});
        } else {
            args.insert(args.end(), {"-l", port_text(port)});
        }
        process ferrox = two_way ? spawn(dir, args, options) : start_listener(dir, args, options);
        const int fd = two_way                                     ? accept_with_deadline(server)
                       : row.role == file_size_case::unix_listener ? connect_unix(socket_path)
                                                                   : connect_tcp(port);
        ASSERT_GE(fd, 0);
        send_all(fd, random_bytes(100000, 81));
        shutdown(fd, SHUT_WR);
        const exit_result result = ferrox.wait(20s);
        close(fd);
        if (two_way) {
            close(server);
        }
        const std::string err = ferrox.err();
        EXPECT_TRUE(result.exited) << "ended by signal " << result.signal << "\n" << err;
        EXPECT_EQ(result.status, 1) << err;
        EXPECT_NE(err.find("write: " + error_text(EFBIG) + "\n"), std::string::npos) << err;
        EXPECT_TRUE(find_summary(err, two_way ? "bytes transfered in" : "bytes written to stdout"))
            << err;
        EXPECT_NE(access(socket_path.c_str(), F_OK), 0) << "the socket file was left";
    }
}

std::size_t open_descriptors(pid_t pid) {
    std::size_t count = 0;
    if (DIR* fds = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str())) {
        while (readdir(fds) != nullptr) {
            ++count;
        }
        closedir(fds);
    }
    return count;
}

long resident_kib(pid_t pid) {
    std::istringstream status(read_file("/proc/" + std::to_string(pid) + "/status"));
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::stol(line.substr(6));
        }
    }
    return -1;
}

// Slow (a label in tests/CMakeLists.txt): 2000 connections one after another take 7 s under
// the sanitizers.
TEST(fault_soak, a_continuing_listener_serves_2000_short_connections_without_growing) {
    temp_dir dir;
    const int port = free_tcp_port();
    process listener = start_listener(dir, {"-c", "-l", port_text(port)});
    // The listening backlog is 1: each peer waits for the previous one's summary, as a
    // client retrying a refused connect would.
    const auto summaries = [&] { return count_of(listener.err(), "bytes written to stdout"); };
    const auto serve = [&](int first, int count) {
        for (int peer = first; peer < first + count; ++peer) {
            const int fd = connect_tcp(port);
            ASSERT_GE(fd, 0);
            send_all(fd, std::string(static_cast<std::size_t>(peer % 7 + 1), 'c'));
            close(fd);
            const auto deadline = std::chrono::steady_clock::now() + 20s;
            while (summaries() < static_cast<std::size_t>(peer + 1) &&
                   std::chrono::steady_clock::now() < deadline) {
                std::this_thread::sleep_for(200us);
            }
            ASSERT_EQ(summaries(), static_cast<std::size_t>(peer + 1));
        }
    };
    serve(0, 100);
    const std::size_t descriptors_before = open_descriptors(listener.pid);
    const long resident_before = resident_kib(listener.pid);
    serve(100, 1900);
    EXPECT_EQ(open_descriptors(listener.pid), descriptors_before);
    // A sanitizer's quarantine or valgrind holds on to freed chunk buffers.
#ifndef FERROX_SANITIZED
    if (std::getenv("FERROX_TEST_WRAPPER") == nullptr) {
        EXPECT_LE(resident_kib(listener.pid), resident_before + 256);
    }
#else
    static_cast<void>(resident_before);
#endif
    // every summary counts its own peer's bytes
    std::istringstream lines(listener.err());
    std::string line;
    int peer = 0;
    std::string expected_output;
    while (std::getline(lines, line)) {
        if (line.find("bytes written to stdout") == std::string::npos) {
            continue;
        }
        EXPECT_EQ(std::stol(line), peer % 7 + 1) << "peer " << peer;
        expected_output += std::string(static_cast<std::size_t>(peer % 7 + 1), 'c');
        ++peer;
    }
    EXPECT_EQ(peer, 2000);
    EXPECT_EQ(listener.out(), expected_output);
    listener.signal(SIGKILL);
}

// A chunk buffer the system can't provide: "out of memory" after the connection is made.
TEST(fault_memory, a_buffer_the_system_cant_provide_ends_with_out_of_memory) {
#ifdef FERROX_SANITIZED
    GTEST_SKIP() << "the sanitizers reserve more address space than the limit allows";
#endif
    if (std::getenv("FERROX_TEST_WRAPPER") != nullptr) {
        GTEST_SKIP() << "a wrapper such as valgrind needs more address space than the limit";
    }
    temp_dir dir;
    const int port = free_tcp_port();
    const int server = listen_tcp(port);
    spawn_options options;
    options.address_space_limit = 256L << 20;
    options.stdin_data = "x";
    process client = spawn(dir, {"-b", "1g", "-h", local_host(port)}, options);
    const int fd = accept_with_deadline(server);
    const exit_result result = client.wait(20s);
    close(fd);
    close(server);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(client.err(), "connected to 127.0.0.1 (127.0.0.1) on port " + port_text(port) +
                                ".\nout of memory\n");

    // after the progress line of a file: the message starts on a line of its own
    const std::string file = dir.file("file");
    write_file(file, "x");
    const int second_server = listen_tcp(port);
    process sender = spawn(dir, {"-b", "1g", "-h", local_host(port), file}, options);
    const int second = accept_with_deadline(second_server);
    EXPECT_EQ(sender.wait(20s).status, 1);
    close(second);
    close(second_server);
    EXPECT_NE(sender.err().find("sending file " + file + " \nout of memory\n"), std::string::npos)
        << sender.err();
}

// A file opened for appending (">>") refuses splice after the first chunk has been taken
// from the socket: that chunk and the rest still arrive, by read and write.
using zero_copy_fallback = on_every_path;

TEST_P(zero_copy_fallback, a_receive_into_a_file_opened_for_appending_arrives_whole) {
    temp_dir dir;
    const std::string path = dir.file("appended");
    write_file(path, "before\n");
    const std::string data = random_bytes(300000, 80);
    const int port = free_tcp_port();
    const int server = listen_tcp(port);
    const int out = open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    ASSERT_GE(out, 0);
    spawn_options options;
    options.stdout_fd = out;
    process client = spawn(dir, with_path({"-v", "-o", "-h", local_host(port)}), options);
    close(out);
    const int fd = accept_with_deadline(server);
    ASSERT_GE(fd, 0);
    send_all(fd, data);
    close(fd);
    EXPECT_EQ(client.wait(20s).status, 0) << client.err();
    close(server);
    EXPECT_TRUE(read_file(path) == "before\n" + data);
    const auto summary = find_summary(client.err(), "bytes written to stdout");
    ASSERT_TRUE(summary);
    EXPECT_EQ(summary->bytes, 300000);
    if (GetParam().with_checksum) {
        EXPECT_NE(client.err().find("checksum: " + std::to_string(zlib_adler32(data)) + "\n"),
                  std::string::npos)
            << client.err();
    }
}

INSTANTIATE_TEST_SUITE_P(paths, zero_copy_fallback, every_path, path_name);

spawn_options failing(const std::string& calls) {
    spawn_options options;
    options.environment = {std::string("LD_PRELOAD=") + FERROX_FAIL_CALLS,
                           "FERROX_TEST_FAIL=" + calls,
                           // a sanitizer runtime must otherwise come first among the libraries
                           "ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=0"};
    return options;
}

// A size that can't be read back is reported, and its line shows the size that was asked
// for (0 when none was): what the socket was meant to have.
TEST(fault_socket_calls, a_failed_read_back_shows_the_requested_size) {
    if (cannot_preload()) {
        return;
    }
    for (const bool sized : {true, false}) {
        temp_dir dir;
        const int port = free_tcp_port();
        const int server = listen_tcp(port);
        std::vector<std::string> args = {"-q", "-v", "-h", local_host(port)};
        if (sized) {
            args.insert(args.begin(), {"-B", "50000"});
        }
        process client = spawn(dir, args, failing("getsockopt"));
        const int fd = accept_with_deadline(server);
        EXPECT_EQ(client.wait(20s).status, 0) << client.err();
        close(fd);
        close(server);
        const std::string size = sized ? "50000" : "0";
        EXPECT_EQ(client.err(), "using 65536 byte buffer\n"
                                "getsockopt:SO_SNDBUF: " +
                                    error_text(EINVAL) +
                                    "\n"
                                    "getsockopt:SO_RCVBUF: " +
                                    error_text(EINVAL) +
                                    "\n"
                                    "using " +
                                    size +
                                    " byte socket send buffer\n"
                                    "using " +
                                    size +
                                    " byte socket recv buffer\n"
                                    "sending  done.\n");
    }
}

// A socket that can't be created is reported under "socket" by every endpoint, before
// anything else is tried.
TEST(fault_socket_calls, a_socket_that_cant_be_created_is_reported_at_once) {
    if (cannot_preload()) {
        return;
    }
    temp_dir dir;
    const std::string path = dir.file("sock");
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"-h", "127.0.0.1:9"}, "error connecting socket\n"},
        {{"-h", "no-such-host.invalid:9"}, "error connecting socket\n"},
        {{"-u", path}, "error connecting socket\n"},
        {{"-l", "0"}, "error creating server socket\n"},
        {{"-U", path}, "error creating server socket\n"},
    };
    for (const auto& [args, fatal_line] : cases) {
        process ferrox = spawn(dir, args, failing("socket"));
        EXPECT_EQ(ferrox.wait(20s).status, 1);
        EXPECT_EQ(ferrox.err(), "socket: " + error_text(EINVAL) + "\n" + fatal_line);
    }
}

// --nobuf switches the terminal once and gives it back exactly once, whether the run ends
// normally or Ctrl-C restores it first (the end of run then finds nothing to do).
TEST(fault_terminal, the_terminal_is_switched_once_and_restored_once) {
    if (cannot_preload()) {
        return;
    }
    for (const bool interrupted : {false, true}) {
        temp_dir dir;
        const std::string trace = dir.file("trace");
        int master = -1, slave = -1;
        ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
        const int port = free_tcp_port();
        const int server = listen_tcp(port);
        spawn_options options = failing("");
        options.environment.push_back("FERROX_TEST_TRACE=" + trace);
        options.stdin_fd = slave;
        options.controlling_tty = true;
        // with an echo log the handler leaves standard input, the terminal, open
        process client = spawn(dir, {"-n", "-e", dir.file("log"), "-h", local_host(port)}, options);
        const int fd = accept_with_deadline(server);
        ASSERT_TRUE(client.wait_for_err("connected to"));
        if (interrupted) {
            ASSERT_EQ(write(master, "\x03", 1), 1);
        } else {
            close(fd);
        }
        EXPECT_EQ(client.wait(20s).status, 0);
        termios after{};
        tcgetattr(slave, &after);
        EXPECT_NE(after.c_lflag & ICANON, 0U);
        EXPECT_EQ(read_file(trace), "tcsetattr\ntcsetattr\n")
            << (interrupted ? "after Ctrl-C" : "after a normal end");
        if (interrupted) {
            close(fd);
        }
        close(server);
        close(master);
        close(slave);
    }
}

// Memory that runs out while an option's text is copied: "out of memory", status 1, and
// nothing started.
TEST(fault_memory, memory_that_runs_out_while_scanning_ends_with_out_of_memory) {
#ifdef FERROX_SANITIZED
    GTEST_SKIP() << "the sanitizer's allocator can't be replaced by a preloaded one";
#endif
    if (cannot_preload()) {
        return;
    }
    if (std::getenv("FERROX_TEST_WRAPPER") != nullptr) {
        GTEST_SKIP() << "a wrapper such as valgrind replaces the allocator itself";
    }
    temp_dir dir;
    const std::string path = dir.file(std::string(300, 'p'));  // its copy has a unique size
    spawn_options options;
    options.environment = {std::string("LD_PRELOAD=") + FERROX_FAIL_MALLOC,
                           "FERROX_TEST_FAIL_MALLOC_SIZE=" + std::to_string(path.size() + 1)};
    process ferrox = spawn(dir, {"-e", path, "-h", "127.0.0.1:9"}, options);
    EXPECT_EQ(ferrox.wait(20s).status, 1);
    EXPECT_EQ(ferrox.err(), "out of memory\n");
    EXPECT_NE(access(path.c_str(), F_OK), 0) << "the echo log was never opened";
}

// When the terminal's attributes can't be read, --nobuf reports it and changes nothing.
TEST(fault_terminal, nobuf_changes_nothing_when_the_attributes_cant_be_read) {
    if (cannot_preload()) {
        return;
    }
    temp_dir dir;
    int master = -1, slave = -1;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    const int port = free_tcp_port();
    const int server = listen_tcp(port);
    spawn_options options = failing("tcgetattr");
    options.stdin_fd = slave;
    process client = spawn(dir, {"-n", "-i", "-o", "-h", local_host(port)}, options);
    const int fd = accept_with_deadline(server);
    ASSERT_TRUE(client.wait_for_err("connected to"));
    termios during{};
    tcgetattr(slave, &during);
    EXPECT_NE(during.c_lflag & ICANON, 0U) << "the terminal keeps its line mode";
    close(fd);
    EXPECT_EQ(client.wait(20s).status, 0);
    close(server);
    close(master);
    close(slave);
    EXPECT_EQ(client.err().rfind("tcgetattr: " + error_text(EINVAL) + "\n", 0), 0U) << client.err();
}

}  // namespace
