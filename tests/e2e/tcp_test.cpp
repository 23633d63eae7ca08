// SPDX-License-Identifier: BSD-2-Clause
#include "harness.hpp"

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <gtest/gtest.h>
#include <memory>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace e2e;

// A file of each length that matters to the chunking, and one operand that doesn't exist.
using tcp_files = on_every_path;

TEST_P(tcp_files, file_operands_arrive_byte_for_byte_with_one_dot_per_chunk) {
    temp_dir dir;
    const std::string empty = dir.file("empty"), exact = dir.file("exact"), over = dir.file("over"),
                      missing = dir.file("missing");
    write_file(empty, "");
    write_file(exact, random_bytes(65536, 1));
    write_file(over, random_bytes(65537, 2));
    const int port = free_tcp_port();
    process listener = start_listener(dir, with_path({"-l", port_text(port)}));
    const run_result client =
        run(dir, with_path({"-h", local_host(port), missing, empty, exact, over}), "", 30s);
    const exit_result listened = listener.wait(30s);

    // the operand that can't be opened makes the status 1; the others still arrive whole
    EXPECT_EQ(client.exit.status, 1) << client.err;
    EXPECT_EQ(listened.status, 0) << listener.err();
    EXPECT_EQ(listener.out(), read_file(exact) + read_file(over));
    const std::string expected_lines =
        missing + ": " + error_text(ENOENT) + "\n" + "sending file " + empty + "  done.\n" +
        "sending file " + exact + " . done.\n" + "sending file " + over + " .. done.\n";
    EXPECT_NE(client.err.find(expected_lines), std::string::npos) << client.err;
    EXPECT_NE(
        client.err.find("connected to 127.0.0.1 (127.0.0.1) on port " + port_text(port) + ".\n"),
        std::string::npos);
    const auto sent = find_summary(client.err, "bytes written to 127.0.0.1:" + port_text(port));
    ASSERT_TRUE(sent) << client.err;
    EXPECT_EQ(sent->bytes, 65536 + 65537);
    const auto received = find_summary(listener.err(), "bytes written to stdout in");
    ASSERT_TRUE(received) << listener.err();
    EXPECT_EQ(received->bytes, 65536 + 65537);
    EXPECT_EQ(listener.err().rfind("listening on 0.0.0.0 port " + port_text(port) + ".\n", 0), 0U);
    EXPECT_NE(listener.err().find("connection from 127.0.0.1 on port "), std::string::npos);
}

// Standard input goes out through the client; --verbose adds the words and one dot per
// chunk around it, and --buffer-size sets what a chunk is.
TEST(tcp_one_way, standard_input_arrives_and_verbose_dots_follow_the_buffer_size) {
    temp_dir dir;
    const std::string data = random_bytes(10000, 3);
    const int port = free_tcp_port();
    process listener = start_listener(dir, {"-l", port_text(port), "-v", "-b", "1000"});
    const run_result client = run(dir, {"-h", local_host(port), "-v", "-b", "1000"}, data);
    listener.wait(30s);
    EXPECT_EQ(listener.out(), data);
    EXPECT_NE(client.err.find("sending .......... done.\n"), std::string::npos) << client.err;
    // The receiver's chunks are whatever had arrived: between 10 and 10000 dots.
    const std::string err = listener.err();
    const auto start = err.find("receiving ");
    ASSERT_NE(start, std::string::npos) << err;
    const auto dots = err.find(" done.\n", start) - start - 10;
    EXPECT_GE(dots, 10U);
    EXPECT_EQ(err.substr(start + 10, dots), std::string(dots, '.'));
}

// The listener sends with --input; the client receives with --output. A listener that sends
// names the port it listens on in its summary.
using tcp_listener_sends = on_every_path;

TEST_P(tcp_listener_sends, listener_sends_and_client_receives) {
    temp_dir dir;
    const std::string file = dir.file("data");
    write_file(file, random_bytes(300000, 4));
    const int port = free_tcp_port();
    process listener = start_listener(dir, with_path({"-l", port_text(port), "-i", file}));
    const run_result client = run(dir, with_path({"-h", local_host(port), "-o"}));
    listener.wait(30s);
    EXPECT_EQ(client.out, read_file(file));
    EXPECT_EQ(client.exit.status, 0);
    const auto sent =
        find_summary(listener.err(), "bytes written to localhost:" + port_text(port) + " in");
    ASSERT_TRUE(sent) << listener.err();
    EXPECT_EQ(sent->bytes, 300000);
    const auto received = find_summary(client.err, "bytes written to stdout in");
    ASSERT_TRUE(received) << client.err;
    EXPECT_EQ(received->bytes, 300000);
}

// A peer that waits a second before sending 2048 bytes: the summary's rate is the bytes
// over the elapsed seconds over 1024.
TEST(tcp_one_way, summary_rate_is_bytes_per_second_over_1024) {
    temp_dir dir;
    const int port = free_tcp_port();
    const int server = listen_tcp(port);
    std::thread peer([server] {
        const int fd = accept_with_deadline(server);
        std::this_thread::sleep_for(1s);
        send_all(fd, std::string(2048, 'x'));
        close(fd);
    });
    const run_result client = run(dir, {"-h", local_host(port), "-o"});
    peer.join();
    close(server);
    const auto numbers = find_summary(client.err, "bytes written to stdout in");
    ASSERT_TRUE(numbers) << client.err;
    EXPECT_EQ(numbers->bytes, 2048);
    EXPECT_GE(numbers->seconds, 0.99);
    EXPECT_NEAR(numbers->rate, 2048 / numbers->seconds / 1024, 0.02);
}

TEST(tcp_one_way, quiet_prints_nothing_but_keeps_the_checksum_line) {
    temp_dir dir;
    const std::string file = dir.file("data");
    write_file(file, "abc");
    const int port = free_tcp_port();
    process listener = start_listener(dir, {"-l", port_text(port), "-s"});
    const run_result client = run(dir, {"-q", "-s", "-h", local_host(port), file});
    listener.wait(30s);
    EXPECT_EQ(client.err, "checksum: 38600999\n");
    EXPECT_NE(listener.err().find("checksum: 38600999\n"), std::string::npos);
    EXPECT_EQ(listener.out(), "abc");
}

// --continue on a listener: three peers in a row on one listening socket, each summary
// counting only its own bytes.
TEST(tcp_continue, listener_serves_peer_after_peer) {
    temp_dir dir;
    const int port = free_tcp_port();
    process listener = start_listener(dir, {"-c", "-l", port_text(port)});
    for (int peer = 1; peer <= 3; ++peer) {
        const int fd = connect_tcp(port);
        ASSERT_GE(fd, 0);
        send_all(fd, std::string(static_cast<std::size_t>(peer) * 1000, 'a'));
        close(fd);
        const std::string line = port_text(peer * 1000) + " bytes written to stdout in";
        ASSERT_TRUE(listener.wait_for_err(line)) << listener.err();
    }
    EXPECT_EQ(count_of(listener.err(), "bytes written to stdout"), 3U);
    EXPECT_EQ(count_of(listener.err(), "listening on"), 1U);
    EXPECT_EQ(listener.out(), std::string(6000, 'a'));
    listener.signal(SIGKILL);
}

// --continue on a client: it connects again in every cycle, sends its file each time, and
// ends with the connect failure once nobody listens.
TEST(tcp_continue, client_connects_again_until_a_connect_fails) {
    temp_dir dir;
    const std::string file = dir.file("data");
    write_file(file, "hello");
    const int port = free_tcp_port();
    const int server = listen_tcp(port);
    process client = spawn(dir, {"-c", "-h", local_host(port), file});
    for (int cycle = 0; cycle < 3; ++cycle) {
        const int fd = accept_with_deadline(server);
        ASSERT_GE(fd, 0);
        EXPECT_EQ(receive_all(fd, 20s), "hello");
        close(fd);
    }
    close(server);
    const exit_result result = client.wait(30s);
    EXPECT_EQ(result.status, 1);
    EXPECT_GE(count_of(client.err(), "5 bytes written to 127.0.0.1"), 3U);
    const std::string err = client.err();
    EXPECT_EQ(err.substr(err.size() - 24), "error connecting socket\n") << err;
}

// --continue serves clients that come at once: each waits its turn in the listening socket's
// queue and is served whole, none is reset or left hanging. The clients are ferrox runs
// started while the listener is stopped (SIGSTOP), so that all of them come before it accepts
// the first: each connects into the queue at once, and once the listener goes on it serves
// them one by one. Senders each with a file of its own into the listener's standard output,
// or receivers each of the listener's whole file; a row per socket kind and direction.
struct crowd_case {
    std::string name;
    bool unix_domain;
    bool listener_sends;  // -i file: every client receives it; otherwise every client sends
    int clients;
};

void PrintTo(const crowd_case& c, std::ostream* out) {
    *out << c.name;
}

class continue_crowd : public ::testing::TestWithParam<crowd_case> {};

TEST_P(continue_crowd, every_client_that_comes_at_once_is_served_whole) {
    const crowd_case& c = GetParam();
    temp_dir dir;
    const std::string path = dir.file("sock"), served = dir.file("served");
    const std::string served_data = random_bytes(3000, 9);
    write_file(served, served_data);
    const int port = c.unix_domain ? 0 : free_tcp_port();
    std::vector<std::string> listening =
        c.unix_domain ? std::vector<std::string>{"-c", "-U", path}
                      : std::vector<std::string>{"-c", "-l", port_text(port)};
    if (c.listener_sends) {
        listening.insert(listening.end(), {"-i", served});
    }
    process listener = start_listener(dir, listening);
    listener.signal(SIGSTOP);
    const std::vector<std::string> to_listener =
        c.unix_domain ? std::vector<std::string>{"-u", path}
                      : std::vector<std::string>{"-h", local_host(port)};

    std::vector<std::string> sent;
    // (a process is made in its place: a copy's end would kill it)
    std::vector<std::unique_ptr<process>> clients;
    for (int i = 0; i < c.clients; ++i) {
        std::vector<std::string> args = to_listener;
        if (c.listener_sends) {
            args.emplace_back("-o");
        } else {
            // each sender's bytes marked as its own, so that a lost or mixed one shows
            sent.push_back("<client " + std::to_string(i) + ">" +
                           random_bytes(2000, static_cast<std::uint32_t>(100 + i)));
            args.push_back(dir.file("send" + std::to_string(i)));
            write_file(args.back(), sent.back());
        }
        clients.emplace_back(new process(spawn(dir, args)));
    }
    const auto connected_by = std::chrono::steady_clock::now() + 10s;
    for (int i = 0; i < c.clients; ++i) {
        const seconds left =
            std::max(seconds(0.1), seconds(connected_by - std::chrono::steady_clock::now()));
        EXPECT_TRUE(clients[static_cast<std::size_t>(i)]->wait_for_err("connected to", left))
            << "client " << i << " wasn't let into the queue";
    }
    listener.signal(SIGCONT);
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    for (int i = 0; i < c.clients; ++i) {
        process& client = *clients[static_cast<std::size_t>(i)];
        const seconds left =
            std::max(seconds(1), seconds(deadline - std::chrono::steady_clock::now()));
        const exit_result ended = client.wait(left);
        EXPECT_FALSE(ended.timed_out) << "client " << i << " hung";
        EXPECT_EQ(ended.status, 0) << "client " << i << ": " << client.err();
        if (c.listener_sends) {
            const std::string received = client.out();
            EXPECT_TRUE(received == served_data)
                << "client " << i << " received " << received.size() << " bytes of "
                << served_data.size();
        }
    }
    if (!c.listener_sends) {
        std::size_t total = 0;
        for (const std::string& bytes : sent) {
            total += bytes.size();
        }
        // the last sender may have ended before the listener wrote its bytes out
        const auto written_by = std::chrono::steady_clock::now() + 10s;
        while (listener.out().size() < total && std::chrono::steady_clock::now() < written_by) {
            std::this_thread::sleep_for(10ms);
        }
        const std::string received = listener.out();
        for (const std::string& bytes : sent) {
            EXPECT_NE(received.find(bytes), std::string::npos)
                << bytes.substr(0, bytes.find('>') + 1) << " didn't arrive whole";
        }
        EXPECT_EQ(received.size(), total);
    }
    listener.signal(SIGKILL);
    listener.wait(10s);
    EXPECT_EQ(listener.err().find("reset"), std::string::npos) << listener.err();
}

INSTANTIATE_TEST_SUITE_P(rows, continue_crowd,
                         ::testing::Values(crowd_case{"tcp_senders", false, false, 40},
                                           crowd_case{"tcp_receivers", false, true, 20},
                                           crowd_case{"unix_senders", true, false, 40},
                                           crowd_case{"unix_receivers", true, true, 20}),
                         [](const ::testing::TestParamInfo<crowd_case>& info) {
                             return info.param.name;
                         });

TEST(tcp_listener, refuses_a_second_client_after_its_one_accept) {
    temp_dir dir;
    const int port = free_tcp_port();
    process listener = start_listener(dir, {"-l", port_text(port)});
    const int first = connect_tcp(port);
    ASSERT_GE(first, 0);
    ASSERT_TRUE(listener.wait_for_err("connection from"));
    EXPECT_EQ(connect_tcp(port, 0s), -1);
    send_all(first, "only");
    close(first);
    EXPECT_EQ(listener.wait(20s).status, 0);
    EXPECT_EQ(listener.out(), "only");
}

struct fatal_case {
    std::vector<std::string> args;
    std::string stderr_text;
    int status;
};

std::string out_of_range(const std::string& port) {
    return "port out of range: " + port + " (a port is 0 to 65535)\n";
}

TEST(tcp_fatal, endpoint_failures_end_the_run_with_their_lines) {
    temp_dir dir;
    const int busy = free_tcp_port();
    const int taken = listen_tcp(busy);
    const int closed = free_tcp_port();
    const fatal_case cases[] = {
        {{"-l", port_text(busy)},
         "bind: " + error_text(EADDRINUSE) + "\nerror creating server socket\n",
         1},
        {{"-h", local_host(closed)},
         "connect: " + error_text(ECONNREFUSED) + "\nerror connecting socket\n",
         1},
        {{"-h", "no-such-host.invalid:80"}, herror_line(HOST_NOT_FOUND), 2},
        // the host is resolved before a malformed --bind-port is looked at
        {{"-h", "no-such-host.invalid:80", "-P", "bad:1"}, herror_line(HOST_NOT_FOUND), 2},
        {{"-h", local_host(busy), "-P", "localhost:0"},
         "can't decipher ipaddr: localhost\nerror connecting socket\n",
         1},
        // A port outside 0 to 65535 is refused where it is used, never wrapped round to
        // another port: 65536 more than a listening port would reach it.
        {{"-h", local_host(busy + 65536)},
         out_of_range(port_text(busy + 65536)) + "error connecting socket\n",
         1},
        {{"-h", "127.0.0.1:99999"}, out_of_range("99999") + "error connecting socket\n", 1},
        {{"-h", "127.0.0.1:-1"}, out_of_range("-1") + "error connecting socket\n", 1},
        {{"-h", "127.0.0.1:99999999999999999999"},
         out_of_range("99999999999999999999") + "error connecting socket\n",
         1},
        {{"-h", "127.0.0.1", "-p", "70000"},
         out_of_range("70000") + "error connecting socket\n",
         1},
        {{"-l", "99999"}, out_of_range("99999") + "error creating server socket\n", 1},
        {{"-l", "65536"}, out_of_range("65536") + "error creating server socket\n", 1},
        {{"-l", "-1"}, out_of_range("-1") + "error creating server socket\n", 1},
        {{"-h", local_host(busy), "-P", "99999"},
         out_of_range("99999") + "error connecting socket\n",
         1},
        {{"-h", local_host(busy), "-P", "127.0.0.1:70000"},
         out_of_range("70000") + "error connecting socket\n",
         1},
    };
    for (const auto& c : cases) {
        const run_result result = run(dir, c.args, "", 30s);
        const std::string line = ::testing::PrintToString(c.args);
        EXPECT_EQ(result.exit.status, c.status) << line;
        EXPECT_EQ(result.err, lookup_line(c.stderr_text, result.err)) << line;
    }
    close(taken);
}

// --bind-port as seen by the peer: a port alone, and a dotted address with a port.
TEST(tcp_bind_port, the_peer_sees_the_bound_address_and_port) {
    temp_dir dir;
    const int port = free_tcp_port();
    const int server = listen_tcp(port);
    for (const std::string address : {"", "127.0.0.1:"}) {
        const int local_port = free_tcp_port();
        spawn_options options;
        options.stdin_data = "x";
        process client =
            spawn(dir, {"-h", local_host(port), "-P", address + port_text(local_port)}, options);
        const int fd = accept_with_deadline(server);
        ASSERT_GE(fd, 0);
        sockaddr_in peer{};
        socklen_t length = sizeof peer;
        ASSERT_EQ(getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length), 0);
        EXPECT_EQ(ntohs(peer.sin_port), local_port) << address;
        EXPECT_EQ(std::string(inet_ntoa(peer.sin_addr)), "127.0.0.1");
        EXPECT_EQ(receive_all(fd, 20s), "x");
        close(fd);
        EXPECT_EQ(client.wait(20s).status, 0) << client.err();
    }
    close(server);
}

// Ports by the service rule: a service name connects to its port and the line shows the
// number; a listener takes no service names (port 0: the system picks one). A number outside
// 0 to 65535 is refused (tcp_fatal).
TEST(tcp_ports, service_names_and_numbers_follow_the_service_rule) {
    temp_dir dir;
    // a service from /etc/services whose port is free here
    int service_port = 0, server = -1;
    std::string service;
    for (const auto& [name, number] : std::vector<std::pair<std::string, int>>{
             {"postgresql", 5432}, {"mysql", 3306}, {"x11", 6000}, {"svn", 3690}, {"git", 9418}}) {
        if (read_file("/etc/services").find(name + "\t") == std::string::npos) {
            continue;
        }
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(static_cast<std::uint16_t>(number));
        if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
            listen(fd, 4) == 0) {
            server = fd, service = name, service_port = number;
            break;
        }
        close(fd);
    }
    if (server < 0) {
        GTEST_SKIP() << "no known service port is free";
    }
    const run_result by_name = run(dir, {"-h", "127.0.0.1:" + service}, "x", 20s);
    EXPECT_EQ(by_name.exit.status, 0) << by_name.err;
    EXPECT_EQ(by_name.err.rfind("connected to 127.0.0.1 (127.0.0.1) on port " +
                                    port_text(service_port) + ".\n",
                                0),
              0U)
        << by_name.err;
    close(accept_with_deadline(server, 5s));
    close(server);

    // A listener takes numbers only: a service name, like a name that is no service, comes to
    // port 0, a free port that the kernel chooses, and the listening line names it so that a
    // client can find it.
    for (const std::string& listen_port : {service, std::string("foo"), std::string("0")}) {
        process listener = start_listener(dir, {"-l", listen_port});
        const std::string line = listener.err();
        const std::string prefix = "listening on 0.0.0.0 port ";
        ASSERT_EQ(line.rfind(prefix, 0), 0U) << line;
        const int bound = std::atoi(line.c_str() + prefix.size());
        EXPECT_GT(bound, 0) << line;
        const int client = connect_tcp(bound, 5s);
        EXPECT_GE(client, 0) << "nothing listens on the port that the line names: " << line;
        send_all(client, "found");
        close(client);
        EXPECT_EQ(listener.wait(20s).status, 0);
        EXPECT_EQ(listener.out(), "found");
    }
}

// A peer that reads a little and then resets the connection: the sender reports "write"
// and ends with status 1, after its summary line.
TEST(tcp_write_failure, a_reset_peer_is_reported_with_status_one) {
    temp_dir dir;
    const std::string file = dir.file("big");
    write_file(file, random_bytes(32 << 20, 5));
    const int port = free_tcp_port();
    const int server = listen_tcp(port);
    std::thread peer([server] {
        const int fd = accept_with_deadline(server);
        [[maybe_unused]] auto first = receive_exactly(fd, 100000, 20s);
        const linger reset{1, 0};
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
        close(fd);
    });
    const run_result client = run(dir, {"-h", local_host(port), file, file}, "", 60s);
    peer.join();
    close(server);
    EXPECT_TRUE(client.exit.exited) << "signal " << client.exit.signal;
    EXPECT_EQ(client.exit.status, 1);
    // the kernel names the reset, or the broken connection it leaves behind
    EXPECT_TRUE(client.err.find("write: " + error_text(ECONNRESET) + "\n") != std::string::npos ||
                client.err.find("write: " + error_text(EPIPE) + "\n") != std::string::npos)
        << client.err;
    // the second operand is not sent once the connection is gone
    EXPECT_EQ(count_of(client.err, "sending file"), 1U);
    const auto sent = find_summary(client.err, "bytes written to");
    ASSERT_TRUE(sent) << client.err;
    EXPECT_LT(sent->bytes, 32 << 20);
}

// ferrox against peers it did not write: socat and netcat-openbsd.
TEST(tcp_real_peers, ferrox_sends_to_and_receives_from_socat_and_netcat) {
    if (lacks_program("/usr/bin/socat") || lacks_program("/usr/bin/nc")) {
        return;
    }
    temp_dir dir;
    const std::string file = dir.file("data");
    const std::string data = random_bytes(3 << 20, 6);
    write_file(file, data);
    const std::string received = dir.file("received");

    // ferrox sends to socat
    int port = free_tcp_port();
    spawn_options socat;
    socat.program = "/usr/bin/socat";
    process socat_listener = spawn(
        dir,
        {"-u", "TCP-LISTEN:" + port_text(port) + ",bind=127.0.0.1,reuseaddr", "CREATE:" + received},
        socat);
    ASSERT_TRUE(wait_tcp_listening(port));
    EXPECT_EQ(run(dir, {"-h", local_host(port), file}).exit.status, 0);
    EXPECT_EQ(socat_listener.wait(30s).status, 0);
    EXPECT_EQ(read_file(received), data);

    // ferrox receives from netcat-openbsd
    port = free_tcp_port();
    process listener = start_listener(dir, {"-l", port_text(port)});
    spawn_options netcat;
    netcat.program = "/usr/bin/nc";
    netcat.stdin_data = data;
    process sender = spawn(dir, {"-N", "127.0.0.1", port_text(port)}, netcat);
    EXPECT_EQ(listener.wait(30s).status, 0) << listener.err();
    sender.wait(10s);
    EXPECT_EQ(listener.out(), data);

    // ferrox receives from socat
    port = free_tcp_port();
    process listener2 = start_listener(dir, {"-l", port_text(port)});
    process socat_sender =
        spawn(dir, {"-u", "FILE:" + file, "TCP:127.0.0.1:" + port_text(port)}, socat);
    EXPECT_EQ(listener2.wait(30s).status, 0);
    socat_sender.wait(10s);
    EXPECT_EQ(listener2.out(), data);
}

INSTANTIATE_TEST_SUITE_P(paths, tcp_files, every_path, path_name);

INSTANTIATE_TEST_SUITE_P(paths, tcp_listener_sends, every_path, path_name);

}  // namespace
