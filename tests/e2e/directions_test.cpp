// SPDX-License-Identifier: BSD-2-Clause
// Each direction of a two-way transfer or a relay ends on its own: a peer's end of data is
// passed on as a half-close and the other direction goes on until it ends too; an answer that
// comes after standard input ended reaches standard output; a slow reader is progress, not
// idleness; and every byte accepted from one side reaches the other, or its sender is reset.
#include "harness.hpp"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <gtest/gtest.h>
#include <memory>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace e2e;

enum class transport { tcp, unix_domain };

const char* name_of(transport over) {
    return over == transport::tcp ? "tcp" : "unix";
}

// A ferrox relay in front of a server that the test plays, over TCP or socket files.
struct relay_setup {
    transport over;
    int server = -1;  // the test's listening socket behind the relay
    std::string server_address;
    std::string relay_address;
};

relay_setup prepare_relay(const temp_dir& dir, transport over) {
    relay_setup setup{over, -1, {}, {}};
    if (over == transport::tcp) {
        const relay_ports ports = open_relay_ports();
        setup.server = ports.server;
        setup.server_address = port_text(ports.server_port);
        setup.relay_address = port_text(ports.relay_port);
    } else {
        setup.server_address = dir.file("server.sock");
        setup.server = listen_unix(setup.server_address);
        setup.relay_address = dir.file("relay.sock");
    }
    return setup;
}

process start_relay(const temp_dir& dir, const relay_setup& setup,
                    std::vector<std::string> options = {}) {
    if (setup.over == transport::tcp) {
        options.insert(options.end(),
                       {"-l", setup.relay_address, "-h", "127.0.0.1:" + setup.server_address});
    } else {
        options.insert(options.end(), {"-U", setup.relay_address, "-u", setup.server_address});
    }
    return start_listener(dir, options);
}

// ferrox's arguments that reach the relay as a client.
std::vector<std::string> to_relay(const relay_setup& setup) {
    if (setup.over == transport::tcp) {
        return {"-h", "127.0.0.1:" + setup.relay_address};
    }
    return {"-u", setup.relay_address};
}

int connect_to_relay(const relay_setup& setup) {
    return setup.over == transport::tcp ? connect_tcp(std::stoi(setup.relay_address))
                                        : connect_unix(setup.relay_address);
}

// Sends everything, then ends its side: what a peer that half-closes does.
std::thread send_then_half_close(int fd, const std::string& data) {
    return std::thread([fd, &data] {
        send_all(fd, data);
        shutdown(fd, SHUT_WR);
    });
}

std::vector<std::string> with(std::vector<std::string> args, const std::vector<std::string>& more) {
    args.insert(args.end(), more.begin(), more.end());
    return args;
}

// Both peers send 8 MB at once, half-close and read to the end: each gets the other's stream
// whole, as connected directly.
TEST(relay_half_close, both_streams_arrive_whole_when_each_peer_half_closes) {
    for (const transport over : {transport::tcp, transport::unix_domain}) {
        SCOPED_TRACE(name_of(over));
        temp_dir dir;
        const relay_setup setup = prepare_relay(dir, over);
        process relay = start_relay(dir, setup);
        const int client = connect_to_relay(setup);
        ASSERT_GE(client, 0);
        const int far = accept_with_deadline(setup.server);
        ASSERT_GE(far, 0);
        const std::string up = random_bytes(8 << 20, 300);
        const std::string down = random_bytes(8 << 20, 301);
        std::thread uploader = send_then_half_close(client, up);
        std::thread downloader = send_then_half_close(far, down);
        std::string at_server;
        std::thread server_reader([&] { at_server = receive_all(far, 60s); });
        const std::string at_client = receive_all(client, 60s);
        server_reader.join();
        uploader.join();
        downloader.join();
        close(client);
        close(far);
        close(setup.server);
        EXPECT_EQ(relay.wait(20s).status, 0) << relay.err();
        EXPECT_EQ(at_server.size(), up.size());
        EXPECT_TRUE(at_server == up);
        EXPECT_EQ(at_client.size(), down.size());
        EXPECT_TRUE(at_client == down);
    }
}

// Real peers on both sides of the relay: socat (and netcat-openbsd as a client) each send a
// file, half-close and write what they receive into a file of their own.
TEST(relay_half_close, real_peers_on_both_sides_get_each_others_file_whole) {
    if (lacks_program("socat") || lacks_program("nc")) {
        return;
    }
    enum class client_program { socat, netcat };
    const struct {
        const char* name;
        transport over;
        client_program client;
    } cases[] = {
        {"tcp, socat both sides", transport::tcp, client_program::socat},
        {"tcp, netcat client", transport::tcp, client_program::netcat},
        {"unix, socat both sides", transport::unix_domain, client_program::socat},
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(each.name);
        temp_dir dir;
        const std::string up = random_bytes(10 << 20, 302);
        const std::string down = random_bytes(10 << 20, 303);
        write_file(dir.file("up"), up);
        write_file(dir.file("down"), down);
        const bool tcp = each.over == transport::tcp;
        const int server_port = free_tcp_port();
        const int relay_port = free_tcp_port();
        const std::string server_path = dir.file("server.sock");
        const std::string relay_path = dir.file("relay.sock");
        spawn_options socat;
        socat.program = "/usr/bin/env";
        const std::string server_end =
            tcp ? "TCP-LISTEN:" + port_text(server_port) + ",bind=127.0.0.1,reuseaddr"
                : "UNIX-LISTEN:" + server_path;
        process server = spawn(dir,
                               {"socat", "-t", "5", server_end,
                                "OPEN:" + dir.file("down") + "!!CREATE:" + dir.file("at_server")},
                               socat);
        if (tcp) {
            ASSERT_TRUE(wait_tcp_listening(server_port));
        } else {
            ASSERT_TRUE(wait_for_path(server_path));
        }
        process relay = start_listener(
            dir, tcp ? std::vector<std::string>{"-l", port_text(relay_port), "-h",
                                                local_host(server_port)}
                     : std::vector<std::string>{"-U", relay_path, "-u", server_path});
        process client =
            each.client == client_program::socat
                ? spawn(dir,
                        {"socat", "-t", "5",
                         tcp ? "TCP:" + local_host(relay_port) : "UNIX-CONNECT:" + relay_path,
                         "OPEN:" + dir.file("up") + "!!CREATE:" + dir.file("at_client")},
                        socat)
                : [&] {
                      spawn_options netcat = socat;
                      netcat.stdin_data = up;
                      return spawn(dir, {"nc", "-N", "127.0.0.1", port_text(relay_port)}, netcat);
                  }();
        const exit_result client_end = client.wait(60s);
        const exit_result server_end_result = server.wait(60s);
        const exit_result relay_end = relay.wait(20s);
        const std::string at_client =
            each.client == client_program::socat ? read_file(dir.file("at_client")) : client.out();
        const std::string at_server = read_file(dir.file("at_server"));
        EXPECT_EQ(client_end.status, 0) << client.err();
        EXPECT_EQ(server_end_result.status, 0) << server.err();
        EXPECT_EQ(relay_end.status, 0) << relay.err();
        EXPECT_EQ(at_server.size(), up.size());
        EXPECT_TRUE(at_server == up);
        EXPECT_EQ(at_client.size(), down.size());
        EXPECT_TRUE(at_client == down);
    }
}

// The server ends its side right after the accept and then reads to the end: what the client
// sends afterwards still reaches it, and the relay's summary and checksum count it.
TEST(relay_half_close, a_client_sends_after_the_server_ended_its_side) {
    for (const transport over : {transport::tcp, transport::unix_domain}) {
        SCOPED_TRACE(name_of(over));
        temp_dir dir;
        const relay_setup setup = prepare_relay(dir, over);
        process relay = start_relay(dir, setup, {"-s"});
        spawn_options options;
        options.stdin_pipe = true;
        process client = spawn(dir, with({"-q", "-s"}, to_relay(setup)), options);
        const int far = accept_with_deadline(setup.server);
        ASSERT_GE(far, 0);
        shutdown(far, SHUT_WR);
        std::this_thread::sleep_for(300ms);
        ASSERT_EQ(write(client.stdin_write, "hello", 5), 5);
        client.close_stdin();
        const std::string arrived = receive_all(far, 20s);
        close(far);
        close(setup.server);
        EXPECT_EQ(client.wait(20s).status, 0) << client.err();
        EXPECT_EQ(relay.wait(20s).status, 0) << relay.err();
        EXPECT_EQ(arrived, "hello");
        const std::string checksum = "checksum: " + std::to_string(zlib_adler32("hello")) + "\n";
        EXPECT_NE(client.err().find(checksum), std::string::npos) << client.err();
        EXPECT_NE(relay.err().find(checksum), std::string::npos) << relay.err();
        const auto summary = find_summary(relay.err(), "bytes transfered in");
        ASSERT_TRUE(summary) << relay.err();
        EXPECT_EQ(summary->bytes, 5);
    }
}

// A server reads a little, answers, ends its side, and closes half a second later with the
// rest of the upload unread (a reset). Connected directly, the two-way client keeps the answer and
// reports the reset; through a relay it must see the same, and the relay too fails.
TEST(relay_half_close, a_server_that_answers_then_resets_fails_its_client_through_a_relay) {
    for (const bool through_relay : {false, true}) {
        SCOPED_TRACE(through_relay ? "through a relay" : "directly");
        temp_dir dir;
        const relay_setup setup = prepare_relay(dir, transport::tcp);
        std::unique_ptr<process> relay;
        if (through_relay) {
            relay.reset(new process(start_relay(dir, setup)));
        }
        const std::string server_port = "127.0.0.1:" + setup.server_address;
        const std::string target = through_relay ? "127.0.0.1:" + setup.relay_address : server_port;
        spawn_options options;
        options.stdin_data = random_bytes(3 << 20, 304);
        process client = spawn(dir, {"-q", "-i", "-o", "-h", target}, options);
        const int far = accept_with_deadline(setup.server);
        ASSERT_GE(far, 0);
        // the upload is under way before the answer: a client told the end before it sent
        // anything would rightly send nothing more
        EXPECT_EQ(receive_exactly(far, 65536, 10s).size(), 65536U);
        send_all(far, "answer\n");
        shutdown(far, SHUT_WR);
        std::this_thread::sleep_for(500ms);
        close(far);  // the upload is unread: a reset
        const exit_result client_end = client.wait(20s);
        close(setup.server);
        EXPECT_EQ(client.out(), "answer\n");
        const exit_result relay_end = relay ? relay->wait(20s) : exit_result{true, 1};
        if (!counts_unacknowledged_bytes) {
            // the last bytes were acknowledged unseen; the reset comes after the close
            EXPECT_TRUE(client_end.exited && relay_end.exited) << client.err();
            continue;
        }
        EXPECT_EQ(relay_end.status, 1) << (relay ? relay->err() : std::string());
        EXPECT_EQ(client_end.status, 1) << client.err();
        EXPECT_NE(client.err().find(error_text(ECONNRESET) + "\n"), std::string::npos)
            << client.err();
    }
}

// A request from a finished input: the answer that comes after standard input ended is
// written whole to standard output, from a real web server and from one the test plays.
TEST(two_way_half_close, the_answer_to_a_finished_input_arrives_whole) {
    if (lacks_program("python3")) {
        return;
    }
    temp_dir dir;
    const std::string body = random_bytes(300000, 305);
    write_file(dir.file("big.bin"), body);
    const int port = free_tcp_port();
    spawn_options python;
    python.program = "/usr/bin/env";
    process server = spawn(dir,
                           {"python3", "-m", "http.server", port_text(port), "--bind", "127.0.0.1",
                            "--directory", dir.path},
                           python);
    ASSERT_TRUE(wait_tcp_listening(port, 30s)) << server.err();
    const run_result client =
        run(dir, {"-q", "-i", "-o", "-h", local_host(port)}, "GET /big.bin HTTP/1.0\r\n\r\n", 30s);
    server.signal(SIGKILL);
    EXPECT_EQ(client.exit.status, 0) << client.err;
    const auto end_of_head = client.out.find("\r\n\r\n");
    ASSERT_NE(end_of_head, std::string::npos) << client.out.substr(0, 200);
    EXPECT_TRUE(client.out.substr(end_of_head + 4) == body)
        << client.out.size() - end_of_head - 4 << " of " << body.size();
}

// The echo log makes a listener two-way; standard input from /dev/null ends at once, and the
// 3 MB that its peer sends still reach standard output whole, with its sender told success.
TEST(two_way_half_close, an_echo_logging_listener_with_no_input_keeps_what_it_receives) {
    temp_dir dir;
    const int port = free_tcp_port();
    process listener = start_listener(dir, {"-l", port_text(port), "-e", dir.file("log")});
    const std::string data = random_bytes(3 << 20, 306);
    write_file(dir.file("data"), data);
    const run_result sender = run(dir, {"-q", "-h", local_host(port), dir.file("data")});
    const exit_result listened = listener.wait(20s);
    EXPECT_EQ(sender.exit.status, 0) << sender.err;
    EXPECT_EQ(listened.status, 0) << listener.err();
    EXPECT_EQ(listener.out().size(), data.size());
    EXPECT_TRUE(listener.out() == data);
}

// A server that answers and keeps its connection open holds a two-way client whose input has
// ended, as it would hold any client; --timeout ends the wait, and with nothing left undelivered
// that is no failure.
TEST(two_way_half_close, a_server_that_stays_open_holds_the_transfer_until_the_timeout) {
    temp_dir dir;
    const int port = free_tcp_port();
    const int server = listen_tcp(port);
    process client = spawn(dir, {"-q", "-i", "-o", "-t", "1", "-h", local_host(port)}, [] {
        spawn_options options;
        options.stdin_data = "question\n";
        return options;
    }());
    const int peer = accept_with_deadline(server);
    ASSERT_GE(peer, 0);
    EXPECT_EQ(receive_all(peer, 10s), "question\n");  // its end of data arrives
    send_all(peer, "answer\n");
    const exit_result result = client.wait(20s);
    close(peer);
    close(server);
    EXPECT_EQ(result.status, 0) << client.err();
    EXPECT_EQ(client.out(), "answer\n");
    EXPECT_NE(client.err().find("timeout\n"), std::string::npos) << client.err();
}

// A reader that takes 64 KiB every tenth of a second is never idle for a --timeout period,
// however long the sender's queue stays full; one that takes nothing is, and the bytes the
// relay holds for it are then lost: its client sees a reset and the status is 1. Slow (a
// label in tests/CMakeLists.txt): 3 MiB read at that pace take 4.8 s.
TEST(idle_timeout, a_slow_reader_is_progress_and_a_reader_that_takes_nothing_is_not) {
    for (const bool reads : {true, false}) {
        SCOPED_TRACE(reads ? "a slow reader" : "a reader that takes nothing");
        temp_dir dir;
        const relay_setup setup = prepare_relay(dir, transport::tcp);
        process relay = start_relay(dir, setup, {"-t", "0.5", "-B", "1048576"});
        const int client = connect_to_relay(setup);
        ASSERT_GE(client, 0);
        const int far = accept_with_deadline(setup.server);
        ASSERT_GE(far, 0);
        const int small = 65536;
        setsockopt(far, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        const std::string data = random_bytes(3 << 20, 307);
        std::thread uploader([&] {
            send_all(client, data);
            shutdown(client, SHUT_WR);
        });
        std::string arrived;
        if (reads) {
            char piece[65536];
            for (;;) {
                const ssize_t n = recv(far, piece, sizeof piece, 0);
                if (n <= 0) {
                    break;
                }
                arrived.append(piece, static_cast<std::size_t>(n));
                std::this_thread::sleep_for(100ms);
            }
            shutdown(far, SHUT_WR);  // the server ends too, and the cycle with it
        }
        const exit_result result = relay.wait(60s);
        shutdown(client, SHUT_RDWR);
        uploader.join();
        if (reads) {
            EXPECT_EQ(result.status, 0) << relay.err();
            if (counts_unacknowledged_bytes) {
                // (elsewhere the server's slow read of the last queued bytes, after the relay
                // passed the end on, can't be seen: the quiet "timeout" then ends the cycle)
                EXPECT_EQ(relay.err().find("timeout"), std::string::npos) << relay.err();
            }
            EXPECT_EQ(arrived.size(), data.size());
            EXPECT_TRUE(arrived == data);
        } else {
            EXPECT_EQ(result.status, 1) << relay.err();
            EXPECT_NE(relay.err().find("timeout\n"), std::string::npos) << relay.err();
            char byte = 0;
            ssize_t n = 0;
            while ((n = recv(far, &byte, 1, 0)) > 0) {
            }
            EXPECT_TRUE(n < 0 && errno == ECONNRESET) << "the server saw a plain end";
        }
        close(client);
        close(far);
        close(setup.server);
    }
}

// The same slow reader behind a two-way client: its input arrives whole with status 0. Slow
// (a label in tests/CMakeLists.txt): 4.8 s of slow reading.
TEST(idle_timeout, a_two_way_client_feeding_a_slow_reader_does_not_time_out) {
    temp_dir dir;
    const int port = free_tcp_port();
    const int server = listen_tcp(port);
    const std::string data = random_bytes(3 << 20, 308);
    spawn_options options;
    options.stdin_data = data;
    process client = spawn(
        dir, {"-q", "-i", "-o", "-t", "0.5", "-B", "1048576", "-h", local_host(port)}, options);
    const int peer = accept_with_deadline(server);
    ASSERT_GE(peer, 0);
    const int small = 65536;
    setsockopt(peer, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    std::string arrived;
    char piece[65536];
    for (ssize_t n = 0; (n = recv(peer, piece, sizeof piece, 0)) > 0;) {
        arrived.append(piece, static_cast<std::size_t>(n));
        std::this_thread::sleep_for(100ms);
    }
    send_all(peer, "done\n");
    close(peer);
    const exit_result result = client.wait(60s);
    close(server);
    EXPECT_EQ(result.status, 0) << client.err();
    EXPECT_TRUE(arrived == data) << arrived.size() << " of " << data.size();
    if (counts_unacknowledged_bytes) {
        EXPECT_EQ(client.err().find("timeout"), std::string::npos) << client.err();
        EXPECT_EQ(client.out(), "done\n");
    }
}

// A two-way client whose standard output, a pipe, is read slowly (64 KiB every 100 ms): the
// connection is spliced straight into the pipe, so the client waits for the connection's
// bytes and the pipe's room at once; the reader's progress still counts, and nothing times
// out. Slow (a label in tests/CMakeLists.txt): 4.8 s of slow reading.
TEST(idle_timeout, a_slow_reader_of_standard_output_is_progress) {
    temp_dir dir;
    const int port = free_tcp_port();
    const int server = listen_tcp(port);
    int slow[2];
    ASSERT_EQ(pipe(slow), 0);
    spawn_options options;
    options.stdin_pipe = true;
    options.stdout_fd = slow[1];
    process client = spawn(dir, {"-q", "-i", "-o", "-t", "0.5", "-h", local_host(port)}, options);
    close(slow[1]);
    const int peer = accept_with_deadline(server);
    ASSERT_GE(peer, 0);
    const std::string data = random_bytes(3 << 20, 311);
    std::thread reply([&] {
        send_all(peer, data);
        shutdown(peer, SHUT_WR);
    });
    std::string arrived;
    char piece[65536];
    for (ssize_t n = 0; (n = read(slow[0], piece, sizeof piece)) > 0;) {
        arrived.append(piece, static_cast<std::size_t>(n));
        std::this_thread::sleep_for(100ms);
    }
    const exit_result result = client.wait(60s);
    reply.join();
    close(slow[0]);
    close(peer);
    close(server);
    EXPECT_EQ(result.status, 0) << client.err();
    EXPECT_EQ(client.err().find("timeout"), std::string::npos) << client.err();
    EXPECT_TRUE(arrived == data) << arrived.size() << " of " << data.size() << " bytes";
}

// The summary counts every byte that a write took, even when the next write of the same chunk
// fails: a receiver whose file may hold 100 KiB counts exactly what the file holds.
TEST(summary_count, a_receiver_past_its_file_size_limit_counts_what_the_file_holds) {
    temp_dir dir;
    const int port = free_tcp_port();
    spawn_options limited;
    limited.file_size_limit = 102400;
    const std::string out = dir.file("out");
    process receiver = start_listener(dir, {"-l", port_text(port)}, limited);
    const std::string data = random_bytes(3 << 20, 309);
    write_file(dir.file("data"), data);
    const run_result sender = run(dir, {"-q", "-h", local_host(port), dir.file("data")});
    const exit_result received = receiver.wait(20s);
    EXPECT_EQ(received.status, 1) << receiver.err();
    EXPECT_NE(receiver.err().find("write: " + error_text(EFBIG) + "\n"), std::string::npos)
        << receiver.err();
    EXPECT_EQ(receiver.out().size(), 102400U);
    const auto summary = find_summary(receiver.err(), "bytes written to stdout");
    ASSERT_TRUE(summary) << receiver.err();
    EXPECT_EQ(summary->bytes, 102400) << receiver.err();
}

}  // namespace
