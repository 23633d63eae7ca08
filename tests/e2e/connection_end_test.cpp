// SPDX-License-Identifier: BSD-2-Clause
// The end of a connection tells the truth: peers that fail at the worst moment, urgent data,
// relays whose server resets, and waits that Ctrl-C and --timeout must be able to end.
#include "harness.hpp"

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace e2e;
using std::chrono::steady_clock;

enum class transport { tcp, unix_domain };

enum class role { client, listener };

// One sending run: ferrox sends a file as client or listener, over TCP or a socket file, and
// the test plays its peer.
struct sending_case {
    std::string name;
    transport over;
    role as;
};

const sending_case sending_cases[] = {
    {"tcp_client", transport::tcp, role::client},
    {"tcp_listener", transport::tcp, role::listener},
    {"unix_client", transport::unix_domain, role::client},
    {"unix_listener", transport::unix_domain, role::listener},
};

struct peer_setup {
    int listening = -1;  // the test's own listening socket, for a ferrox client
    std::string address;
    int port = 0;
};

peer_setup prepare_peer(const temp_dir& dir, const sending_case& each) {
    peer_setup setup;
    if (each.over == transport::tcp) {
        setup.port = free_tcp_port();
        setup.address = port_text(setup.port);
        if (each.as == role::client) {
            setup.listening = listen_tcp(setup.port);
        }
    } else {
        setup.address = dir.file("sock");
        if (each.as == role::client) {
            setup.listening = listen_unix(setup.address);
        }
    }
    return setup;
}

// ferrox's arguments: `options`, then the address, then the file it sends.
std::vector<std::string> sender_args(const sending_case& each, const peer_setup& setup,
                                     const std::string& file, std::vector<std::string> options) {
    std::vector<std::string> args = std::move(options);
    const bool tcp = each.over == transport::tcp;
    if (each.as == role::client) {
        args.insert(args.end(),
                    {tcp ? "-h" : "-u", tcp ? "127.0.0.1:" + setup.address : setup.address});
    } else {
        args.insert(args.end(), {tcp ? "-l" : "-U", setup.address, "-i"});
    }
    args.push_back(file);
    return args;
}

process start_sender(const temp_dir& dir, const sending_case& each, const peer_setup& setup,
                     const std::string& file, std::vector<std::string> options = {}) {
    const std::vector<std::string> args = sender_args(each, setup, file, std::move(options));
    return each.as == role::listener ? start_listener(dir, args) : spawn(dir, args);
}

// The test's end of the connection.
int connect_peer(const sending_case& each, const peer_setup& setup) {
    if (each.as == role::client) {
        return accept_with_deadline(setup.listening);
    }
    return each.over == transport::tcp ? connect_tcp(setup.port) : connect_unix(setup.address);
}

void reset_connection(int fd) {
    const linger now{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &now, sizeof now);
    close(fd);
}

void close_if_open(int fd) {
    if (fd >= 0) {
        close(fd);
    }
}

class sender_end : public ::testing::TestWithParam<sending_case> {};

// The receiver fails after the sender wrote everything into the socket buffers: the sender's
// bytes did not arrive, and it says so.
TEST_P(sender_end, a_receiver_that_reads_a_little_and_resets_is_a_failure) {
    temp_dir dir;
    const std::string file = dir.file("data");
    write_file(file, random_bytes(1 << 20, 81));
    const peer_setup setup = prepare_peer(dir, GetParam());
    process sender = start_sender(dir, GetParam(), setup, file);
    const int peer = connect_peer(GetParam(), setup);
    ASSERT_GE(peer, 0);
    const std::size_t read_by_peer = receive_exactly(peer, 100000).size();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    int unread = 0;
    ioctl(peer, FIONREAD, &unread);
    reset_connection(peer);
    const auto start = steady_clock::now();
    const exit_result result = sender.wait(30s);
    const std::chrono::duration<double> lasted = steady_clock::now() - start;
    close_if_open(setup.listening);
    EXPECT_EQ(result.status, 1) << sender.err();
    EXPECT_NE(sender.err().find("write: "), std::string::npos) << sender.err();
    EXPECT_LT(lasted.count(), 4.0) << "the wait went on after the reset";
    if (GetParam().over == transport::tcp && counts_unacknowledged_bytes) {
        // The summary counts what reached the peer, not what the reset threw away from the
        // sender's own buffers (a few segments may have arrived after the peer's count), and
        // never less than what its program read.
        const auto summary = find_summary(sender.err(), "bytes written to");
        ASSERT_TRUE(summary) << sender.err();
        EXPECT_LE(summary->bytes, static_cast<long>(read_by_peer) + unread + (64 << 10))
            << sender.err();
        EXPECT_GE(summary->bytes, static_cast<long>(read_by_peer)) << sender.err();
    }
}

// A receiver that pauses longer than any fixed give-up, then reads: every byte arrives. (A
// socket file's queued bytes stay readable after its sender closed, so TCP alone could lose
// them.)
class paused_receiver : public sender_end {};

// Slow (a label in tests/CMakeLists.txt): the pause is 7 s.
TEST_P(paused_receiver, gets_every_byte) {
    temp_dir dir;
    const std::string file = dir.file("data");
    const std::string data = random_bytes(1 << 20, 82);
    write_file(file, data);
    const peer_setup setup = prepare_peer(dir, GetParam());
    process sender = start_sender(dir, GetParam(), setup, file);
    const int peer = connect_peer(GetParam(), setup);
    ASSERT_GE(peer, 0);
    std::this_thread::sleep_for(7s);
    const std::string arrived = receive_all(peer, 30s);
    const exit_result result = sender.wait(30s);
    close(peer);
    close_if_open(setup.listening);
    EXPECT_EQ(result.status, 0) << sender.err();
    EXPECT_EQ(arrived.size(), data.size());
    EXPECT_TRUE(arrived == data);
}

// A receiver that never reads holds the sender (in its copy or in its close) until the user
// ends it: Ctrl-C within a second with status 0, SIGTERM by the signal itself.
TEST_P(sender_end, a_receiver_that_never_reads_is_ended_by_the_user) {
    for (const int signal_number : {SIGINT, SIGTERM}) {
        for (const std::size_t size : {std::size_t{200} << 10, std::size_t{16} << 20}) {
            temp_dir dir;
            const std::string file = dir.file("data");
            write_file(file, random_bytes(size, 83));
            const peer_setup setup = prepare_peer(dir, GetParam());
            process sender = start_sender(dir, GetParam(), setup, file, {"-B", "4096"});
            const int peer = connect_peer(GetParam(), setup);
            ASSERT_GE(peer, 0);
            ASSERT_TRUE(wait_until_writer_held_up(peer));
            const auto start = steady_clock::now();
            sender.signal(signal_number);
            const exit_result result = sender.wait(20s);
            const std::chrono::duration<double> lasted = steady_clock::now() - start;
            close(peer);
            close_if_open(setup.listening);
            const std::string label = "signal " + std::to_string(signal_number) + ", " +
                                      std::to_string(size) + " bytes: " + sender.err();
            EXPECT_LT(lasted.count(), 3.0) << label;
            if (signal_number == SIGINT) {
                EXPECT_EQ(result.status, 0) << label;
            } else {
                EXPECT_EQ(result.signal, SIGTERM) << label;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(roles, sender_end, ::testing::ValuesIn(sending_cases),
                         [](const auto& info) { return info.param.name; });
INSTANTIATE_TEST_SUITE_P(roles, paused_receiver,
                         ::testing::Values(sending_cases[0], sending_cases[1]),
                         [](const auto& info) { return info.param.name; });

// The receiver of a file fails on its first write (a full disk) and resets; the sender, whose
// bytes were all in the socket buffers by then, reports that they did not arrive.
TEST(connection_end, a_receiver_with_a_full_disk_fails_its_sender_too) {
    for (const bool unix_domain : {false, true}) {
        temp_dir dir;
        const std::string file = dir.file("data");
        write_file(file, random_bytes(unix_domain ? 1 << 20 : 100000, 84));
        const int full = open("/dev/full", O_WRONLY);
        ASSERT_GE(full, 0);
        spawn_options to_full;
        to_full.stdout_fd = full;
        const int port = free_tcp_port();
        const std::string path = dir.file("sock");
        process receiver =
            start_listener(dir,
                           unix_domain ? std::vector<std::string>{"-U", path}
                                       : std::vector<std::string>{"-l", port_text(port)},
                           to_full);
        close(full);
        const run_result sender =
            run(dir, unix_domain ? std::vector<std::string>{"-q", "-u", path, file}
                                 : std::vector<std::string>{"-q", "-h", local_host(port), file});
        const exit_result received = receiver.wait(20s);
        EXPECT_EQ(received.status, 1) << receiver.err();
        EXPECT_EQ(sender.exit.status, 1) << "unix " << unix_domain << ": " << sender.err;
        // A socket file has no reset: a write after its peer closed reads "Broken pipe".
        const std::string expected =
            unix_domain ? "write: " : "write: " + error_text(ECONNRESET) + "\n";
        EXPECT_NE(sender.err.find(expected), std::string::npos) << sender.err;
    }
}

// A relay whose onward connect fails drops its accepted peer: the client's close sees the
// reset at once and reports it, instead of waiting for acknowledgements that never come.
TEST(connection_end, a_reset_during_the_close_ends_the_wait_at_once) {
    temp_dir dir;
    const int relay_port = free_tcp_port();
    const int dead_port = free_tcp_port();
    process relay = start_listener(dir, {"-l", port_text(relay_port), "-h", local_host(dead_port)});
    const auto start = steady_clock::now();
    const run_result client = run(dir, {"-q", "-h", local_host(relay_port)}, "hi\n", 30s);
    const std::chrono::duration<double> lasted = steady_clock::now() - start;
    EXPECT_EQ(relay.wait(20s).status, 1);
    EXPECT_EQ(client.exit.status, 1) << client.err;
    EXPECT_NE(client.err.find("write: " + error_text(ECONNRESET) + "\n"), std::string::npos)
        << client.err;
    EXPECT_LT(lasted.count(), 3.0);
}

// Sends 1000 bytes, one urgent byte, then 1000 bytes, and keeps the connection open: a peer
// that closed right after would hide a receiver that holds the rest back (or spins) until the
// end of data.
std::string send_with_urgent_byte(int fd, std::chrono::milliseconds pause_before_urgent = 100ms) {
    const std::string before = random_bytes(1000, 85);
    const std::string after = random_bytes(1000, 86);
    send_all(fd, before);
    std::this_thread::sleep_for(pause_before_urgent);  // the urgent byte arrives on its own
    send(fd, "U", 1, MSG_OOB);
    std::this_thread::sleep_for(100ms);
    send_all(fd, after);
    return before + "U" + after;
}

class urgent_data : public on_every_path {};

// An urgent byte is a byte of the stream: a receiver writes it in its place and goes on at
// once, into a file and into a pipe, while its peer keeps the connection open.
TEST_P(urgent_data, a_receiver_keeps_every_byte_and_goes_on) {
    for (const bool into_pipe : {false, true}) {
        SCOPED_TRACE(into_pipe ? "into a pipe" : "into a file");
        temp_dir dir;
        const int port = free_tcp_port();
        int out_pipe[2] = {-1, -1};
        spawn_options options;
        if (into_pipe) {
            ASSERT_EQ(pipe2(out_pipe, O_CLOEXEC), 0);
            options.stdout_fd = out_pipe[1];
        }
        process receiver = start_listener(dir, with_path({"-l", port_text(port)}), options);
        if (into_pipe) {
            close(out_pipe[1]);
        }
        const int sender = connect_tcp(port);
        ASSERT_GE(sender, 0);
        const std::string sent = send_with_urgent_byte(sender);
        // everything arrives before the sender ends its side
        const std::string arrived =
            into_pipe ? receive_exactly(out_pipe[0], sent.size(), 10s)
                      : (wait_for_file_text(receiver.out_path, sent, 10s) ? sent : receiver.out());
        EXPECT_TRUE(arrived == sent) << arrived.size() << " of " << sent.size();
        shutdown(sender, SHUT_WR);
        const exit_result result = receiver.wait(20s);
        close(sender);
        if (into_pipe) {
            close(out_pipe[0]);
        } else {
            EXPECT_EQ(receiver.out(), sent);
        }
        EXPECT_EQ(result.status, 0) << receiver.err();
        if (GetParam().with_checksum) {
            EXPECT_NE(receiver.err().find("checksum: " + std::to_string(zlib_adler32(sent))),
                      std::string::npos)
                << receiver.err();
        }
    }
}

// A relay passes the urgent byte on in its place, with everything after it, while its client
// keeps the connection open.
TEST_P(urgent_data, a_relay_forwards_every_byte_and_goes_on) {
    temp_dir dir;
    const auto [server_port, server, relay_port] = open_relay_ports();
    process relay = start_listener(dir, with_path(relay_args(relay_port, server_port)));
    const auto [client, far] = connect_through(relay_port, server);
    ASSERT_GE(far, 0);
    const std::string sent = send_with_urgent_byte(client);
    const std::string arrived = receive_exactly(far, sent.size(), 10s);
    EXPECT_TRUE(arrived == sent) << arrived.size() << " of " << sent.size();
    shutdown(client, SHUT_WR);
    EXPECT_TRUE(receive_all(far, 20s).empty()) << "bytes after the end";
    close(far);
    close(client);
    close(server);
    EXPECT_EQ(relay.wait(20s).status, 0) << relay.err();
}

// A two-way client under an idle limit, its standard output a pipe, that has been idle long
// enough to look at its progress before the urgent byte comes: it still writes the byte in
// its place and goes on at once, without spinning, while the peer keeps the connection open.
TEST_P(urgent_data, a_two_way_client_under_an_idle_limit_goes_on) {
    temp_dir dir;
    const int port = free_tcp_port();
    const int server = listen_tcp(port);
    int out_pipe[2] = {-1, -1};
    ASSERT_EQ(pipe2(out_pipe, O_CLOEXEC), 0);
    spawn_options options;
    options.stdin_pipe = true;
    options.stdout_fd = out_pipe[1];
    process client =
        spawn(dir, with_path({"-q", "-i", "-o", "-t", "10", "-h", local_host(port)}), options);
    close(out_pipe[1]);
    const int peer = accept_with_deadline(server);
    ASSERT_GE(peer, 0);
    // idle past a few looks at the destination's progress before the urgent byte
    const std::string sent = send_with_urgent_byte(peer, 1000ms);
    const std::string arrived = receive_exactly(out_pipe[0], sent.size(), 5s);
    EXPECT_TRUE(arrived == sent) << arrived.size() << " of " << sent.size();
    shutdown(peer, SHUT_WR);
    client.close_stdin();
    const exit_result result = client.wait(20s);
    close(out_pipe[0]);
    close(peer);
    close(server);
    EXPECT_EQ(result.status, 0) << client.err();
}

INSTANTIATE_TEST_SUITE_P(paths, urgent_data, every_path, path_name);

// The onward server resets in the middle of its reply: the client behind the relay sees the
// stream cut, as it would connected directly, never a complete one.
TEST(connection_end, a_relay_passes_a_reset_on) {
    temp_dir dir;
    const auto [server_port, server, relay_port] = open_relay_ports();
    process relay = start_listener(dir, relay_args(relay_port, server_port));
    const auto [client, far] = connect_through(relay_port, server);
    ASSERT_GE(far, 0);
    send_all(client, "request\n");
    EXPECT_EQ(receive_exactly(far, 8), "request\n");
    send_all(far, random_bytes(100000, 87));
    std::this_thread::sleep_for(200ms);
    reset_connection(far);
    char scratch[65536];
    ssize_t n = 0;
    std::size_t arrived = 0;
    while ((n = recv(client, scratch, sizeof scratch, 0)) > 0) {
        arrived += static_cast<std::size_t>(n);
    }
    const int error = errno;
    close(client);
    close(server);
    const exit_result result = relay.wait(20s);
    EXPECT_LT(n, 0) << "the client saw a plain end of data after " << arrived << " bytes";
    EXPECT_EQ(error, ECONNRESET);
    EXPECT_EQ(result.status, 1) << relay.err();
    EXPECT_NE(relay.err().find("read: " + error_text(ECONNRESET) + "\n"), std::string::npos)
        << relay.err();
}

// A client sends a file through a relay and ends; what the onward server then does with the
// bytes decides the client's status, as it would connected directly: the relay passes the
// client's end on, and a reset of the server's reaches the client while it waits for its
// moment; a server that stays open holds the relay, not the client.
TEST(connection_end, a_relay_judges_the_onward_server_before_its_client_is_told) {
    enum class server_does { resets, ends_in_order, stays_open };
    const struct {
        const char* name;
        server_does then;
        int client_status;
    } cases[] = {
        {"the server resets after reading", server_does::resets, 1},
        {"the server ends in order", server_does::ends_in_order, 0},
        {"the server stays open", server_does::stays_open, 0},
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(each.name);
        temp_dir dir;
        const std::string file = dir.file("data");
        const std::string data = random_bytes(3000, 88);
        write_file(file, data);
        const auto [server_port, server, relay_port] = open_relay_ports();
        process relay = start_listener(dir, relay_args(relay_port, server_port));
        process client = spawn(dir, {"-q", "-h", local_host(relay_port), file});
        const int far = accept_with_deadline(server);
        ASSERT_GE(far, 0);
        EXPECT_TRUE(receive_exactly(far, data.size(), 10s) == data);
        if (each.then == server_does::resets) {
            reset_connection(far);
        } else if (each.then == server_does::ends_in_order) {
            EXPECT_TRUE(receive_all(far, 10s).empty());
            close(far);
        }
        const exit_result client_end = client.wait(20s);
        if (each.then == server_does::stays_open) {
            close(far);  // the server held the relay's cycle, not its client
        }
        const exit_result relay_end = relay.wait(20s);
        close(server);
        EXPECT_EQ(client_end.status, each.client_status) << client.err();
        EXPECT_EQ(relay_end.status, each.client_status) << relay.err();
        if (each.client_status != 0) {
            EXPECT_NE(client.err().find("write: " + error_text(ECONNRESET) + "\n"),
                      std::string::npos)
                << client.err();
        }
    }
}

// A relay whose onward connection can't be made cuts its client's connection: a client that
// receives through it over TCP sees a reset, not an empty, complete stream, and a client that
// sent bytes the relay never read is told so on either transport.
TEST(connection_end, a_relay_whose_onward_connect_fails_cuts_its_client) {
    const struct {
        const char* name;
        bool over_tcp;
        bool client_sends;
        std::string client_line;
    } cases[] = {
        {"tcp, receiving client", true, false, "read: " + error_text(ECONNRESET) + "\n"},
        {"tcp, sending client", true, true, "write: " + error_text(ECONNRESET) + "\n"},
        {"unix, sending client", false, true, "write: "},
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(each.name);
        temp_dir dir;
        const std::string file = dir.file("data");
        write_file(file, random_bytes(3000, 89));
        const int relay_port = free_tcp_port();
        const std::string front = dir.file("relay.sock");
        process relay = each.over_tcp
                            ? start_listener(dir, {"-l", port_text(relay_port), "-h",
                                                   local_host(free_tcp_port())})
                            : start_listener(dir, {"-U", front, "-u", dir.file("missing.sock")});
        std::vector<std::string> args = {"-q"};
        if (each.over_tcp) {
            args.insert(args.end(), {"-h", local_host(relay_port)});
        } else {
            args.insert(args.end(), {"-u", front});
        }
        if (each.client_sends) {
            args.push_back(file);
        } else {
            args.push_back("-o");
        }
        process client = spawn(dir, args);
        const exit_result relay_end = relay.wait(20s);
        const exit_result client_end = client.wait(20s);
        EXPECT_EQ(relay_end.status, 1) << relay.err();
        EXPECT_NE(relay.err().find("error connecting socket\n"), std::string::npos) << relay.err();
        EXPECT_EQ(client_end.status, 1) << client.err();
        EXPECT_NE(client.err().find(each.client_line), std::string::npos) << client.err();
        EXPECT_EQ(client.out(), "");
    }
}

// In a two-way transfer a reset of the connection cut what was meant for standard output.
TEST(connection_end, a_two_way_transfer_reports_a_reset) {
    temp_dir dir;
    const int port = free_tcp_port();
    const int server = listen_tcp(port);
    spawn_options options;
    options.stdin_pipe = true;
    process client = spawn(dir, {"-q", "-h", local_host(port), "-i", "-o"}, options);
    const int peer = accept_with_deadline(server);
    ASSERT_GE(peer, 0);
    send_all(peer, "part of a reply");
    std::this_thread::sleep_for(200ms);
    reset_connection(peer);
    const exit_result result = client.wait(20s);
    close(server);
    EXPECT_EQ(result.status, 1) << client.err();
    EXPECT_NE(client.err().find("read: " + error_text(ECONNRESET) + "\n"), std::string::npos)
        << client.err();
    EXPECT_EQ(client.out(), "part of a reply");
}

// Standard output is a pipe that nobody reads. Ctrl-C ends every kind of transfer into it,
// and --timeout a two-way one, within a few seconds.
TEST(connection_end, a_standard_output_that_never_drains_can_be_ended) {
    struct stuck_case {
        std::vector<std::string> options;
        bool by_timeout;
    };
    const stuck_case cases[] = {
        {{"-o"}, false},
        {{"-o", "-s"}, false},
        {{"-i", "-o"}, false},
        {{"-i", "-o", "-s"}, false},
        {{"-i", "-o", "-t", "1"}, true},
        {{"-i", "-o", "-t", "1", "-s"}, true},
    };
    for (const stuck_case& each : cases) {
        temp_dir dir;
        const int port = free_tcp_port();
        const int server = listen_tcp(port);
        int stuck[2];
        ASSERT_EQ(pipe(stuck), 0);
        spawn_options options;
        options.stdout_fd = stuck[1];
        options.stdin_pipe = true;
        std::vector<std::string> args{"-h", local_host(port)};
        args.insert(args.end(), each.options.begin(), each.options.end());
        process ferrox = spawn(dir, args, options);
        close(stuck[1]);
        const int peer = accept_with_deadline(server);
        ASSERT_GE(peer, 0);
        std::thread flood([peer] { send_all(peer, random_bytes(4 << 20, 88)); });
        EXPECT_TRUE(wait_until_writer_held_up(stuck[0])) << "the pipe never filled";
        const auto start = steady_clock::now();
        if (!each.by_timeout) {
            ferrox.signal(SIGINT);
        }
        const exit_result result = ferrox.wait(30s);
        const std::chrono::duration<double> lasted = steady_clock::now() - start;
        shutdown(peer, SHUT_RDWR);
        flood.join();
        close(peer);
        close(server);
        close(stuck[0]);
        std::string label = args[2];
        for (std::size_t i = 3; i < args.size(); ++i) {
            label += " " + args[i];
        }
        EXPECT_TRUE(result.exited) << label << ": " << ferrox.err();
        EXPECT_LT(lasted.count(), each.by_timeout ? 8.0 : 5.0) << label << ": " << ferrox.err();
        const char* expected = each.by_timeout ? "timeout\n" : "interupted.\n";
        EXPECT_NE(ferrox.err().find(expected), std::string::npos) << label << ": " << ferrox.err();
    }
}

// Standard input opened for writing only: the failed read is reported as a read, whatever
// path the chunks take.
TEST(connection_end, standard_input_opened_write_only_is_a_failed_read) {
    for (const bool with_sum : {false, true}) {
        temp_dir dir;
        const int port = free_tcp_port();
        const int server = listen_tcp(port);
        const std::string file = dir.file("in");
        write_file(file, "data\n");
        const int write_only = open(file.c_str(), O_WRONLY | O_APPEND);
        ASSERT_GE(write_only, 0);
        spawn_options options;
        options.stdin_fd = write_only;
        std::vector<std::string> args{"-q", "-h", local_host(port)};
        if (with_sum) {
            args.push_back("-s");
        }
        process client = spawn(dir, args, options);
        close(write_only);
        const int peer = accept_with_deadline(server);
        const exit_result result = client.wait(20s);
        close_if_open(peer);
        close(server);
        EXPECT_EQ(result.status, 1) << client.err();
        EXPECT_NE(client.err().find("read: " + error_text(EBADF) + "\n"), std::string::npos)
            << "sum " << with_sum << ": " << client.err();
    }
}

// A period far beyond any wait is no limit at all, not one that wrapped to nothing: a
// standard output read slowly is waited for.
TEST(connection_end, a_huge_timeout_never_fires) {
    temp_dir dir;
    const int port = free_tcp_port();
    const int server = listen_tcp(port);
    int slow[2];
    ASSERT_EQ(pipe2(slow, O_CLOEXEC), 0);
    spawn_options options;
    options.stdin_pipe = true;
    options.stdout_fd = slow[1];
    process client =
        spawn(dir, {"-q", "-h", local_host(port), "-i", "-o", "-t", "9300000000000000"}, options);
    close(slow[1]);
    const int peer = accept_with_deadline(server);
    ASSERT_GE(peer, 0);
    const std::string data = random_bytes(4 << 20, 89);
    std::thread reply([&] {
        send_all(peer, data);
        shutdown(peer, SHUT_WR);
    });
    std::this_thread::sleep_for(1s);
    std::string arrived;
    char piece[65536];
    for (ssize_t n = 0; (n = read(slow[0], piece, sizeof piece)) > 0;) {
        arrived.append(piece, static_cast<std::size_t>(n));
    }
    client.close_stdin();
    const exit_result result = client.wait(20s);
    reply.join();
    close(slow[0]);
    close(peer);
    close(server);
    EXPECT_EQ(result.status, 0) << client.err();
    EXPECT_EQ(client.err().find("timeout"), std::string::npos) << client.err();
    EXPECT_TRUE(arrived == data) << arrived.size() << " of " << data.size() << " bytes";
}

}  // namespace
