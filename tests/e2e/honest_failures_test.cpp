// SPDX-License-Identifier: BSD-2-Clause
// Failures that must be reported as failures, and interrupts that must end the run at once:
// each case provokes one and checks the messages, the exit status and what the peer sees.
#include "harness.hpp"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sstream>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace e2e;

using failed_reads = on_every_path;

// A file operand whose read fails (a directory) is reported under its path, stops the
// remaining operands and makes the status 1; the peer sees the stream cut, not complete.
TEST_P(failed_reads, a_file_operand_that_cant_be_read_is_reported_under_its_path) {
    temp_dir dir;
    const std::string later = dir.file("later");
    write_file(later, "must not be sent");
    const int port = free_tcp_port();
    const int server = listen_tcp(port);
    process client = spawn(dir, with_path({"-h", local_host(port), dir.path, later}));
    const int peer = accept_with_deadline(server);
    ASSERT_GE(peer, 0);
    EXPECT_EQ(receive_all(peer, 20s), "");
    const exit_result result = client.wait(20s);
    close(peer);
    close(server);
    const std::string err = client.err();
    EXPECT_EQ(result.status, 1) << err;
    EXPECT_NE(
        err.find("sending file " + dir.path + " \n" + dir.path + ": " + error_text(EISDIR) + "\n"),
        std::string::npos)
        << err;
    EXPECT_EQ(err.find("sending file " + later), std::string::npos) << err;
}

TEST_P(failed_reads, standard_input_that_cant_be_read_is_reported_under_read) {
    temp_dir dir;
    const int port = free_tcp_port();
    const int server = listen_tcp(port);
    spawn_options options;
    options.stdin_fd = open(dir.path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    process client = spawn(dir, with_path({"-h", local_host(port)}), options);
    close(options.stdin_fd);
    const int peer = accept_with_deadline(server);
    ASSERT_GE(peer, 0);
    EXPECT_EQ(receive_all(peer, 20s), "");
    const exit_result result = client.wait(20s);
    close(peer);
    close(server);
    EXPECT_EQ(result.status, 1) << client.err();
    EXPECT_NE(client.err().find("read: " + error_text(EISDIR) + "\n"), std::string::npos)
        << client.err();
}

// A receive whose connection is reset was cut short: "read", status 1.
TEST_P(failed_reads, a_reset_connection_ends_a_receive_with_status_one) {
    temp_dir dir;
    const int port = free_tcp_port();
    process listener = start_listener(dir, with_path({"-l", port_text(port)}));
    const int client = connect_tcp(port);
    ASSERT_GE(client, 0);
    send_all(client, random_bytes(100000, 5));
    std::this_thread::sleep_for(100ms);
    const linger reset{1, 0};
    setsockopt(client, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    close(client);
    const exit_result result = listener.wait(20s);
    EXPECT_EQ(result.status, 1) << listener.err();
    EXPECT_NE(listener.err().find("read: " + error_text(ECONNRESET) + "\n"), std::string::npos)
        << listener.err();
}

INSTANTIATE_TEST_SUITE_P(paths, failed_reads, every_path, path_name);

// A receiver that can't write standard output (a full disk) lost data: it says so, and its
// peer is told by a reset, not by a plain end of data that looks like success.
TEST(failed_writes, a_receiver_that_cant_write_resets_its_connection) {
    temp_dir dir;
    const int port = free_tcp_port();
    spawn_options options;
    options.stdout_fd = open("/dev/full", O_WRONLY | O_CLOEXEC);
    process listener = start_listener(dir, {"-l", port_text(port)}, options);
    close(options.stdout_fd);
    const int client = connect_tcp(port);
    ASSERT_GE(client, 0);
    send_all(client, random_bytes(100000, 6));
    shutdown(client, SHUT_WR);
    const exit_result result = listener.wait(20s);
    char byte = 0;
    errno = 0;
    const ssize_t got = recv(client, &byte, 1, 0);
    const int error = errno;
    close(client);
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(listener.err().find("write: " + error_text(ENOSPC) + "\n"), std::string::npos)
        << listener.err();
    EXPECT_EQ(got, -1) << "the peer saw a plain end of data";
    EXPECT_EQ(error, ECONNRESET);
}

// A socket whose peer has gone is a failed write, never a SIGPIPE, on every system: Linux
// sends with MSG_NOSIGNAL, other systems set SO_NOSIGPIPE on ferrox's sockets or hold the
// signal back around the write (the portable build takes that way on Linux too). A
// UNIX-domain connection tells a sender that its peer closed by SIGPIPE and EPIPE alone,
// which ferrox's own connection and a socket it was handed on standard output must turn
// into "write: ...", status 1.
struct gone_peer_case {
    std::string name;
    enum { unix_client_sends, unix_listener_sends, stdout_socket } role;
};

TEST(failed_writes, a_socket_whose_peer_has_gone_is_a_failed_write_never_sigpipe) {
    const gone_peer_case cases[] = {
        {"UNIX-domain client sending a file", gone_peer_case::unix_client_sends},
        {"UNIX-domain listener sending a file", gone_peer_case::unix_listener_sends},
        {"standard output a socket whose reader closed", gone_peer_case::stdout_socket},
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.name);
        temp_dir dir;
        const std::string file = dir.file("big");
        write_file(file, random_bytes(8 << 20, 12));
        const std::string path = dir.file("sock");
        const int port = free_tcp_port();
        spawn_options options;
        int peer = -1;
        int server = -1;
        std::vector<std::string> args;
        if (row.role == gone_peer_case::unix_client_sends) {
            server = listen_unix(path);
            ASSERT_GE(server, 0);
            args = {"-u", path, file};
        } else if (row.role == gone_peer_case::unix_listener_sends) {
            args = {"-U", path, "-i", file};
        } else {
            // the reader of standard output is gone before ferrox writes
            int ends[2];
            ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
            close(ends[0]);
            options.stdout_fd = ends[1];
            args = {"-l", port_text(port)};
        }
        process ferrox = row.role == gone_peer_case::unix_client_sends
                             ? spawn(dir, args, options)
                             : start_listener(dir, args, options);
        if (options.stdout_fd >= 0) {
            close(options.stdout_fd);
        }
        if (row.role == gone_peer_case::stdout_socket) {
            peer = connect_tcp(port);
            ASSERT_GE(peer, 0);
            send_all(peer, random_bytes(1 << 20, 13));
        } else {
            peer = row.role == gone_peer_case::unix_client_sends ? accept_with_deadline(server)
                                                                 : connect_unix(path);
            ASSERT_GE(peer, 0);
            // the peer reads a little and closes with the rest unread
            [[maybe_unused]] auto first = receive_exactly(peer, 100000, 20s);
        }
        close(peer);
        const exit_result result = ferrox.wait(30s);
        if (server >= 0) {
            close(server);
        }
        const std::string err = ferrox.err();
        EXPECT_TRUE(result.exited) << "ended by signal " << result.signal << "\n" << err;
        EXPECT_EQ(result.status, 1) << err;
        EXPECT_TRUE(err.find("write: " + error_text(EPIPE) + "\n") != std::string::npos ||
                    err.find("write: " + error_text(ECONNRESET) + "\n") != std::string::npos)
            << err;
    }
}

// A standard stream used against its access mode: one end of a pipe given as both standard
// input and output (`1<&0` with a pipe on standard input, `0>&1 | cat`). Whatever ferrox
// could open through the descriptor, it reads and writes only the way the descriptor was
// opened: the call the descriptor can't make fails at once, as it would in any program
// ("read: Bad file descriptor", status 1), and no byte goes into the pipe the wrong way.
struct access_case {
    std::string name;
    bool listens;     // a listener that receives; otherwise a client of the test's server
    bool two_way;     // -i -o
    bool given_read;  // the pipe's read end is given on 0 and 1; otherwise its write end
    std::string message;
};

// What the pipe holds now, without waiting.
std::string in_pipe_now(int fd) {
    std::string held;
    char buffer[65536];
    pollfd watch{fd, POLLIN, 0};
    while (poll(&watch, 1, 0) > 0 && (watch.revents & POLLIN) != 0) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0) {
            break;
        }
        held.append(buffer, static_cast<std::size_t>(n));
    }
    return held;
}

TEST(access_modes, a_standard_stream_is_used_only_the_way_it_was_opened) {
    const access_case cases[] = {
        {"a listener, 1<&0 from a pipe", true, false, true, "write: Bad file descriptor\n"},
        {"a two-way client, 1<&0 from a pipe", false, true, true, "write: Bad file descriptor\n"},
        {"a sending client, 0>&1 | cat", false, false, false, "read: Bad file descriptor\n"},
        {"a two-way client, 0>&1 | cat", false, true, false, "read: Bad file descriptor\n"},
    };
    const std::string from_peer = random_bytes(200000, 31);
    for (const auto& row : cases) {
        for (const bool with_sum : {true, false}) {
            SCOPED_TRACE(row.name + (with_sum ? ", --sum" : ", defaults"));
            temp_dir dir;
            int ends[2];
            ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);
            const int given = row.given_read ? ends[0] : ends[1];
            const int other_end = row.given_read ? ends[1] : ends[0];
            if (row.given_read) {
                // what `printf abc |` or `sleep 3 |` puts in; the pipe stays open meanwhile
                ASSERT_EQ(write(other_end, "abc", 3), 3);
            }
            spawn_options options;
            options.stdin_fd = given;
            options.stdout_fd = given;
            const int port = free_tcp_port();
            std::vector<std::string> args{"-q"};
            if (with_sum) {
                args.push_back("-s");
            }
            if (row.two_way) {
                args.insert(args.end(), {"-i", "-o"});
            }
            int server = -1;
            if (row.listens) {
                args.insert(args.end(), {"-l", port_text(port)});
            } else {
                server = listen_tcp(port);
                args.insert(args.end(), {"-h", local_host(port)});
            }
            process ferrox = spawn(dir, args, options);
            ASSERT_TRUE(!row.listens || wait_tcp_listening(port)) << ferrox.err();
            const int peer = row.listens ? connect_tcp(port) : accept_with_deadline(server);
            ASSERT_GE(peer, 0) << ferrox.err();
            const bool peer_sends = row.listens || row.two_way;
            std::thread talker([&] {
                if (peer_sends) {
                    send_all(peer, from_peer);
                }
            });
            // `| cat`: the test reads what reaches the pipe's read end meanwhile
            std::string through_pipe;
            std::thread cat([&] {
                if (!row.given_read) {
                    through_pipe = receive_all(other_end, 10s);
                }
            });
            const std::string got_by_peer = row.listens ? std::string() : receive_all(peer, 10s);
            const exit_result result = ferrox.wait(20s);
            shutdown(peer, SHUT_RDWR);
            talker.join();
            close(given);
            if (!row.given_read) {
                close(other_end);  // ferrox has ended: the reader sees the end of the pipe
            }
            cat.join();
            const std::string left_in_pipe = row.given_read ? in_pipe_now(ends[0]) : "";
            close(peer);
            if (server >= 0) {
                close(server);
            }
            if (row.given_read) {
                close(other_end);
            }
            const std::string err = ferrox.err();
            EXPECT_FALSE(result.timed_out) << "still running: " << err;
            EXPECT_TRUE(result.exited && result.status == 1)
                << "status " << result.status << ": " << err;
            EXPECT_NE(err.find(row.message), std::string::npos) << err;
            if (row.given_read) {
                // nothing received went into the pipe ferrox reads from
                EXPECT_TRUE(left_in_pipe == "abc" || left_in_pipe.empty())
                    << left_in_pipe.size() << " bytes in standard input's pipe";
                EXPECT_TRUE(got_by_peer == "abc" || got_by_peer.empty())
                    << "the peer got " << got_by_peer.size() << " bytes";
            } else {
                // nothing of its own output was read back and sent to the peer, nor taken
                // away from the pipe's reader
                EXPECT_EQ(got_by_peer, "");
                EXPECT_EQ(from_peer.compare(0, through_pipe.size(), through_pipe), 0)
                    << "the pipe's reader got " << through_pipe.size() << " bytes of others";
            }
        }
    }
}

// A file read for the checksum (with --sum, dots shown) or, into a UNIX-domain connection
// at the defaults, read before the kernel sends it by offset: when the file is shorter by
// then, the bytes sent would not be the bytes counted. That is the file's failure (status 1),
// never "write: Broken pipe" on a healthy connection.
TEST(failed_reads, a_file_that_shrinks_while_being_sent_is_reported_under_its_path) {
#ifdef FERROX_NO_KERNEL_PATHS
    GTEST_SKIP() << "this build reads and writes every chunk: nothing is sent by offset";
#endif
    if (cannot_preload()) {
        return;
    }
    for (const bool unix_domain : {false, true}) {
        temp_dir dir;
        const std::string file = dir.file("shrinking");
        write_file(file, random_bytes(200000, 7));
        const int port = free_tcp_port();
        const std::string path = dir.file("sock");
        const int server = unix_domain ? listen_unix(path) : listen_tcp(port);
        ASSERT_GE(server, 0);
        spawn_options options;
        options.environment = {std::string("LD_PRELOAD=") + FERROX_FAIL_CALLS,
                               "FERROX_TEST_FAIL=sendfile",
                               // a sanitizer runtime must otherwise come first among the libraries
                               "ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=0"};
        process client =
            spawn(dir,
                  unix_domain ? std::vector<std::string>{"-q", "-u", path, file}
                              : std::vector<std::string>{"-s", "-h", local_host(port), file},
                  options);
        const int peer = accept_with_deadline(server);
        ASSERT_GE(peer, 0);
        [[maybe_unused]] auto ignored = receive_all(peer, 20s);
        const exit_result result = client.wait(20s);
        close(peer);
        close(server);
        const std::string err = client.err();
        const char* label = unix_domain ? "unix, defaults" : "tcp, --sum";
        EXPECT_EQ(result.status, 1) << label << ": " << err;
        EXPECT_NE(err.find(file + ": file changed while being sent\n"), std::string::npos)
            << label << ": " << err;
        EXPECT_EQ(err.find("write:"), std::string::npos) << label << ": " << err;
    }
}

// A listener sending to a peer that stopped reading: Ctrl-C ends the run at once (the close
// of the socket doesn't linger), status 0, and nothing else is reported (the number of the
// listening socket, closed after the accept, now belongs to the file being sent).
TEST(interrupt_ends, a_listener_whose_peer_stopped_reading) {
    temp_dir dir;
    const std::string file = dir.file("big");
    write_file(file, random_bytes(16 << 20, 8));
    const int port = free_tcp_port();
    process listener = start_listener(dir, {"-l", port_text(port), "-i", file, file});
    const int client = connect_tcp(port);
    ASSERT_GE(client, 0);
    ASSERT_TRUE(listener.wait_for_err("sending file"));
    std::this_thread::sleep_for(300ms);  // the socket buffers fill and the send blocks
    listener.signal(SIGINT);
    const exit_result result = listener.wait(5s);
    close(client);
    const std::string err = listener.err();
    EXPECT_FALSE(result.timed_out) << "still running after Ctrl-C: " << err;
    EXPECT_EQ(result.status, 0) << err;
    EXPECT_EQ(err.find(error_text(EBADF)), std::string::npos) << err;
    EXPECT_EQ(count_of(err, "sending file"), 1U) << err;
}

// A relay whose onward server stopped reading, while its client keeps sending: Ctrl-C ends
// it, though the relay is blocked writing to the onward connection.
TEST(interrupt_ends, a_relay_whose_onward_server_stopped_reading) {
    temp_dir dir;
    const auto [server_port, server, relay_port] = open_relay_ports();
    process relay = start_listener(dir, relay_args(relay_port, server_port));
    const auto [client, far] = connect_through(relay_port, server);
    ASSERT_GE(far, 0);
    const std::string data = random_bytes(64 << 20, 10);
    std::thread flood([client = client, &data] { send_all(client, data); });
    std::this_thread::sleep_for(1s);  // the onward socket's buffers fill
    relay.signal(SIGINT);
    const exit_result result = relay.wait(5s);
    shutdown(client, SHUT_RDWR);
    flood.join();
    close(client);
    close(far);
    close(server);
    EXPECT_FALSE(result.timed_out) << "still running after Ctrl-C: " << relay.err();
    EXPECT_EQ(result.status, 0) << relay.err();
}

long cpu_ticks(pid_t pid) {
    std::istringstream stat(read_file("/proc/" + std::to_string(pid) + "/stat"));
    std::string field;
    long ticks = 0;
    for (int index = 1; index <= 15 && stat >> field; ++index) {
        if (index == 14 || index == 15) {  // utime and stime
            ticks += std::stol(field);
        }
    }
    return ticks;
}

// The close waits while the peer acknowledges what was sent. A peer that has ended its own
// side and reads slowly leaves a socket that is always readable (its end of data): the wait
// must sleep, not spin on it.
TEST(close_wait, a_half_closed_slow_reader_costs_no_cpu) {
    temp_dir dir;
    const std::string file = dir.file("data");
    const std::string data = random_bytes(1 << 20, 9);
    write_file(file, data);
    const int port = free_tcp_port();
    const int server = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int small = 4096;
    setsockopt(server, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);  // inherited by the peer
    close(server);
    const int listening = listen_tcp(port);
    setsockopt(listening, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    process client = spawn(dir, {"-q", "-h", local_host(port), file});
    const int peer = accept_with_deadline(listening);
    ASSERT_GE(peer, 0);
    shutdown(peer, SHUT_WR);
    // read slowly until the client has queued everything and waits at its close
    std::string arrived;
    const auto slow_until = std::chrono::steady_clock::now() + 2500ms;
    while (std::chrono::steady_clock::now() < slow_until) {
        arrived += receive_exactly(peer, 2048, 1s);
        std::this_thread::sleep_for(5ms);
    }
    const long ticks = cpu_ticks(client.pid);
    arrived += receive_all(peer, 20s);
    const exit_result result = client.wait(20s);
    close(peer);
    close(listening);
    EXPECT_EQ(result.status, 0) << client.err();
    EXPECT_TRUE(arrived == data) << arrived.size();
    EXPECT_LT(ticks, 25) << "CPU ticks used over 2.5 s of slow reading";
}

}  // namespace
