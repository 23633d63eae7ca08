// SPDX-License-Identifier: BSD-2-Clause
// Each direction of a two-way transfer or a relay ends on its own: a peer's end of data is
// passed on as a half-close and the other direction goes on until it ends too; an answer that
// comes after standard input ended reaches standard output; a slow reader is progress, not
// idleness; and every byte accepted from one side reaches the other, or its sender is reset.
#include "harness.hpp"

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <memory>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <utility>

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

// The test's client straight to its server, as a baseline for a relay in between.
int connect_directly(const relay_setup& setup) {
    return setup.over == transport::tcp ? connect_tcp(std::stoi(setup.server_address))
                                        : connect_unix(setup.server_address);
}

// A peer that fails closes its connection with a reset.
void close_with_a_reset(int fd) {
    const linger at_once{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &at_once, sizeof at_once);
    close(fd);
}

// A receive buffer this small advertises a window of a few KiB. Set on a listening socket
// before the accept (the accepted one inherits it) or on a socket before its connect: shrunk
// afterwards, below the window already advertised, it makes TCP drop segments.
void shrink_receive_buffer(int fd, int size = 2048) {
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
}

// A client over 127.0.0.1 whose tiny receive window holds back what is sent to it.
int connect_tcp_with_a_tiny_window(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    shrink_receive_buffer(fd);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// What a peer saw of a stream: its bytes, and how it ended.
struct stream_seen {
    std::string data;
    bool ended = false;  // a plain end or an error came before the deadline
    int error = 0;       // the error that ended it; 0 for a plain end
};

stream_seen read_to_the_end(int fd, seconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    stream_seen seen;
    char piece[65536];
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd watch{fd, POLLIN, 0};
        if (left.count() <= 0 || poll(&watch, 1, static_cast<int>(left.count())) <= 0) {
            return seen;
        }
        const ssize_t n = read(fd, piece, sizeof piece);  // a socket or a pipe
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            seen.ended = true;
            seen.error = n < 0 ? errno : 0;
            return seen;
        }
        seen.data.append(piece, static_cast<std::size_t>(n));
    }
}

// Watches a connection for nothing but its hang-up and error events, as a server that
// waits for its next request without reading does: the events seen, 0 at the deadline.
short trouble_within(int fd, seconds limit) {
    pollfd watch{fd, 0, 0};
    const int ms =
        static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(limit).count());
    return poll(&watch, 1, ms) == 1 ? watch.revents : 0;
}

int socket_error(int fd) {
    int error = 0;
    socklen_t length = sizeof error;
    getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length);
    return error;
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

// The relay's rows of the cases below, beside the same peers connected directly.
struct held_end_case {
    const char* name;
    transport over;
    bool through_relay;
};

// The server takes nothing of the 8000 bytes its client sends (a tiny receive window), says
// "bye", ends its side and resets a second later; the client reads to the end. Connected
// directly, the client sees the plain end at once. A relay holds the server's end back
// until the server has acknowledged the client's bytes, which it never does: the server's
// reset must end that hold and reach the client as a reset within a few seconds, though
// the relay has nothing of its own in flight to the server.
TEST(relay_held_end, a_reset_of_the_server_ends_the_hold_and_reaches_the_client) {
    const held_end_case cases[] = {
        {"directly", transport::tcp, false},
        {"through a relay", transport::tcp, true},
    };
    for (const held_end_case& each : cases) {
        SCOPED_TRACE(each.name);
        temp_dir dir;
        const relay_setup setup = prepare_relay(dir, each.over);
        shrink_receive_buffer(setup.server);
        std::unique_ptr<process> relay;
        if (each.through_relay) {
            relay.reset(new process(start_relay(dir, setup)));
        }
        const int client = each.through_relay ? connect_to_relay(setup) : connect_directly(setup);
        ASSERT_GE(client, 0);
        const int far = accept_with_deadline(setup.server);
        ASSERT_GE(far, 0);
        send_all(client, random_bytes(8000, 320));  // the client's own buffer takes them all
        send_all(far, "bye");
        shutdown(far, SHUT_WR);
        std::thread server_resets([far] {
            std::this_thread::sleep_for(1s);
            close_with_a_reset(far);
        });
        const stream_seen seen = read_to_the_end(client, 4s);
        server_resets.join();
        close(client);
        close(setup.server);
        EXPECT_EQ(seen.data, "bye");
        EXPECT_TRUE(seen.ended) << "no end reached the client within 4 s (the server reset at 1 s)";
        if (!each.through_relay) {
            EXPECT_EQ(seen.error, 0) << "a plain end, before the server's reset";
            continue;
        }
        const exit_result relay_end = relay->wait(10s);
        EXPECT_FALSE(relay_end.timed_out) << relay->err();
        if (counts_unacknowledged_bytes) {
            // where the relay sees what the server never acknowledged, it holds the end back
            // until then, and so the server's reset is the client's end
            EXPECT_EQ(seen.error, ECONNRESET) << error_text(seen.error);
            EXPECT_EQ(relay_end.status, 1) << relay->err();
        }
    }
}

// The client streams until it sees the server's end; the server reads slowly (64 KiB every
// 10 ms, far below what the client sends), and once the stream is under way it says "bye"
// and ends its side. Connected directly the client sees the end at once. A relay may hold
// the end back only until the server has acknowledged (over a socket file: read) what the
// relay had taken from the client when the end came; held until nothing at all is queued,
// it never comes, since the client's bytes keep coming.
TEST(relay_held_end, a_client_that_streams_until_the_end_sees_a_slow_readers_end) {
    const held_end_case cases[] = {
        {"tcp, directly", transport::tcp, false},
        {"tcp, through a relay", transport::tcp, true},
        {"unix, through a relay", transport::unix_domain, true},
    };
    for (const held_end_case& each : cases) {
        SCOPED_TRACE(each.name);
        temp_dir dir;
        const relay_setup setup = prepare_relay(dir, each.over);
        std::unique_ptr<process> relay;
        if (each.through_relay) {
            relay.reset(new process(start_relay(dir, setup)));
        }
        const int client = each.through_relay ? connect_to_relay(setup) : connect_directly(setup);
        ASSERT_GE(client, 0);
        const int far = accept_with_deadline(setup.server);
        ASSERT_GE(far, 0);
        std::atomic<bool> stop{false};
        std::thread streamer([client, &stop] {
            const std::string piece = random_bytes(65536, 321);
            while (!stop) {
                pollfd room{client, POLLOUT, 0};
                if (poll(&room, 1, 100) == 1 &&
                    send(client, piece.data(), piece.size(), MSG_DONTWAIT | MSG_NOSIGNAL) < 0 &&
                    errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                    return;
                }
            }
        });
        std::thread slow_reader([far, &stop] {
            char piece[65536];
            while (!stop) {
                pollfd watch{far, POLLIN, 0};
                if (poll(&watch, 1, 100) == 1 && recv(far, piece, sizeof piece, 0) <= 0) {
                    return;
                }
                std::this_thread::sleep_for(10ms);
            }
        });
        std::this_thread::sleep_for(300ms);  // the relay's queue to the server is full
        send_all(far, "bye");
        shutdown(far, SHUT_WR);
        const stream_seen seen = read_to_the_end(client, 4s);
        stop = true;
        streamer.join();
        slow_reader.join();
        shutdown(client, SHUT_RDWR);
        shutdown(far, SHUT_RDWR);
        close(client);
        close(far);
        close(setup.server);
        EXPECT_EQ(seen.data, "bye");
        EXPECT_TRUE(seen.ended && seen.error == 0)
            << (seen.ended ? error_text(seen.error) : "no end within 4 s");
        if (relay) {
            EXPECT_FALSE(relay->wait(10s).timed_out) << relay->err();
        }
    }
}

// The client sends "req", ends its side and resets half a second later; the server reads to
// the end and then only watches its connection. Connected directly it sees the reset at
// once. Through a relay the reset must reach it too, within a few seconds: the relay's lane
// from the client is done, but that connection can still fail, and the relay's other lane
// waits only for the server's bytes.
TEST(relay_held_end, a_reset_after_a_half_close_reaches_a_server_that_only_watches) {
    const held_end_case cases[] = {
        {"directly", transport::tcp, false},
        {"through a relay", transport::tcp, true},
    };
    for (const held_end_case& each : cases) {
        SCOPED_TRACE(each.name);
        temp_dir dir;
        const relay_setup setup = prepare_relay(dir, each.over);
        std::unique_ptr<process> relay;
        if (each.through_relay) {
            relay.reset(new process(start_relay(dir, setup)));
        }
        const int client = each.through_relay ? connect_to_relay(setup) : connect_directly(setup);
        ASSERT_GE(client, 0);
        const int far = accept_with_deadline(setup.server);
        ASSERT_GE(far, 0);
        send_all(client, "req");
        shutdown(client, SHUT_WR);
        EXPECT_EQ(receive_all(far, 10s), "req");
        std::this_thread::sleep_for(500ms);
        close_with_a_reset(client);
        const short seen = trouble_within(far, 3s);
        const int error = socket_error(far);
        close(far);
        close(setup.server);
        EXPECT_NE(seen & (POLLHUP | POLLERR), 0) << "nothing within 3 s of the client's reset";
        // (Linux reports a reset that comes after the peer's end as EPIPE)
        EXPECT_TRUE(error == ECONNRESET || error == EPIPE) << error_text(error);
        if (relay) {
            const exit_result relay_end = relay->wait(10s);
            EXPECT_EQ(relay_end.status, 1) << relay->err();
        }
    }
}

// The client sends until its bytes wait for room (the server reads nothing through a tiny
// receive window), then resets; the server only watches its connection. Connected directly
// the server sees the reset at once. Through a relay the lane from the client waits for room
// on the server's connection and reads nothing from the client's, so its reset must reach
// the server by the relay's watch on that connection, with or without a held-back end (the
// server saying "bye" and ending its side first).
TEST(relay_held_end, a_reset_of_a_client_whose_bytes_wait_for_room_reaches_the_server) {
    struct reset_case {
        const char* name;
        bool through_relay;
        bool server_ends_first;
    };
    const reset_case cases[] = {
        {"directly", false, false},
        {"through a relay", true, false},
        {"through a relay holding the server's end", true, true},
    };
    for (const reset_case& each : cases) {
        SCOPED_TRACE(each.name);
        temp_dir dir;
        const relay_setup setup = prepare_relay(dir, transport::tcp);
        shrink_receive_buffer(setup.server);
        std::unique_ptr<process> relay;
        if (each.through_relay) {
            relay.reset(new process(start_relay(dir, setup)));
        }
        const int client = each.through_relay ? connect_to_relay(setup) : connect_directly(setup);
        ASSERT_GE(client, 0);
        const int far = accept_with_deadline(setup.server);
        ASSERT_GE(far, 0);
        if (each.server_ends_first) {
            send_all(far, "bye");
            shutdown(far, SHUT_WR);
        }
        fcntl(client, F_SETFL, fcntl(client, F_GETFL) | O_NONBLOCK);
        const std::string chunk(65536, 'c');
        const auto give_up = std::chrono::steady_clock::now() + 10s;
        for (int idle = 0; idle < 20 && std::chrono::steady_clock::now() < give_up;) {
            const ssize_t sent = send(client, chunk.data(), chunk.size(), MSG_NOSIGNAL);
            idle = sent > 0 ? 0 : idle + 1;
            std::this_thread::sleep_for(10ms);  // until every buffer on the way is full
        }
        close_with_a_reset(client);
        const short seen = trouble_within(far, 3s);
        const int error = socket_error(far);
        close(far);
        close(setup.server);
        EXPECT_NE(seen & (POLLHUP | POLLERR), 0) << "nothing within 3 s of the client's reset";
        EXPECT_TRUE(error == ECONNRESET || error == EPIPE) << error_text(error);
        if (relay) {
            const exit_result relay_end = relay->wait(10s);
            EXPECT_EQ(relay_end.status, 1) << relay->err();
        }
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

// The server answers once 100 KB of the upload arrived, ends its side, and reads the rest
// of the 8 MB. The server's end is a half-close: it still reads, and a standard input that
// isn't a terminal goes on to it whole (as a file, and as a pipe), with status 0.
TEST(two_way_half_close, the_peers_end_leaves_the_rest_of_standard_input_to_be_sent) {
    const std::string upload = random_bytes(8 << 20, 324);
    std::signal(SIGPIPE, SIG_IGN);  // a ferrox that ended leaves its input pipe without a reader
    for (const bool from_pipe : {false, true}) {
        SCOPED_TRACE(from_pipe ? "standard input a pipe" : "standard input a file");
        temp_dir dir;
        const int port = free_tcp_port();
        const int server = listen_tcp(port);
        spawn_options options;
        if (from_pipe) {
            options.stdin_pipe = true;
        } else {
            options.stdin_data = upload;
        }
        process client = spawn(dir, {"-q", "-i", "-o", "-h", local_host(port)}, options);
        std::thread feeder;
        if (from_pipe) {
            // the feeder owns the pipe's write end from now on
            feeder = std::thread([fd = std::exchange(client.stdin_write, -1), &upload] {
                std::size_t done = 0;
                while (done < upload.size()) {
                    const ssize_t n = write(fd, upload.data() + done, upload.size() - done);
                    if (n <= 0) {
                        break;  // ferrox ended with the pipe unread
                    }
                    done += static_cast<std::size_t>(n);
                }
                close(fd);
            });
        }
        const int peer = accept_with_deadline(server);
        ASSERT_GE(peer, 0);
        std::string arrived = receive_exactly(peer, 100000, 10s);
        send_all(peer, "answer\n");
        shutdown(peer, SHUT_WR);
        arrived += receive_all(peer, 20s);
        const exit_result result = client.wait(20s);
        if (feeder.joinable()) {
            feeder.join();
        }
        close(peer);
        close(server);
        EXPECT_EQ(result.status, 0) << client.err();
        EXPECT_EQ(client.out(), "answer\n");
        EXPECT_EQ(arrived.size(), upload.size());
        EXPECT_TRUE(arrived == upload);
    }
}

// Standard input is a pipe held open. At the peer's end, standard output closes at once (its
// reader learns the end) and the transfer goes on: what is written to standard input later
// still reaches the peer. It then ends with standard input's end, or, under --timeout, once
// standard input has been idle for the period; either way with a plain end and status 0.
TEST(two_way_half_close, at_the_peers_end_output_closes_and_input_goes_on) {
    const struct {
        const char* name;
        std::vector<std::string> options;
        bool input_ends;
    } cases[] = {
        {"standard input ends", {}, true},
        {"standard input idle under --timeout", {"-t", "2"}, false},
    };
    std::signal(SIGPIPE, SIG_IGN);  // a ferrox that ended leaves its input pipe without a reader
    for (const auto& each : cases) {
        SCOPED_TRACE(each.name);
        temp_dir dir;
        const int port = free_tcp_port();
        const int server = listen_tcp(port);
        int output[2];
        ASSERT_EQ(pipe2(output, O_CLOEXEC), 0);
        spawn_options options;
        options.stdin_pipe = true;
        options.stdout_fd = output[1];
        process client = spawn(
            dir, with(with({"-q", "-i", "-o"}, each.options), {"-h", local_host(port)}), options);
        close(output[1]);
        const int peer = accept_with_deadline(server);
        ASSERT_GE(peer, 0);
        send_all(peer, "answer\n");
        shutdown(peer, SHUT_WR);
        const stream_seen at_output = read_to_the_end(output[0], 3s);
        close(output[0]);
        EXPECT_EQ(at_output.data, "answer\n");
        EXPECT_TRUE(at_output.ended) << "standard output still open 3 s after the peer's end";
        EXPECT_FALSE(client.ended_within(500ms))
            << "the peer's end ended the transfer while standard input was open: " << client.err();
        EXPECT_EQ(write(client.stdin_write, "more\n", 5), 5);
        EXPECT_EQ(receive_exactly(peer, 5, 3s), "more\n");
        if (each.input_ends) {
            client.close_stdin();
        }
        const stream_seen rest = read_to_the_end(peer, 5s);
        const exit_result result = client.wait(10s);
        close(peer);
        close(server);
        EXPECT_TRUE(rest.ended && rest.error == 0 && rest.data.empty())
            << rest.data.size() << " more bytes, "
            << (rest.ended ? error_text(rest.error) : "no end within 5 s");
        EXPECT_EQ(result.status, 0) << client.err();
    }
}

// Standard input and output one socket, as a service started for each connection has them:
// at the peer's end, the socket's reader learns the end of what ferrox writes (its other
// copies, standard input's among them, keep the socket open), and what it still sends goes
// on to the peer.
TEST(two_way_half_close, at_the_peers_end_a_socket_on_standard_output_is_shut_down) {
    temp_dir dir;
    const int port = free_tcp_port();
    const int server = listen_tcp(port);
    int streams[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, streams), 0);
    spawn_options options;
    options.stdin_fd = streams[1];
    options.stdout_fd = streams[1];
    process client = spawn(dir, {"-q", "-i", "-o", "-h", local_host(port)}, options);
    close(streams[1]);
    const int peer = accept_with_deadline(server);
    ASSERT_GE(peer, 0);
    send_all(peer, "answer\n");
    shutdown(peer, SHUT_WR);
    const stream_seen at_output = read_to_the_end(streams[0], 3s);
    EXPECT_EQ(at_output.data, "answer\n");
    EXPECT_TRUE(at_output.ended) << "standard output still open 3 s after the peer's end";
    send_all(streams[0], "more\n");
    EXPECT_EQ(receive_exactly(peer, 5, 3s), "more\n");
    shutdown(streams[0], SHUT_WR);
    const stream_seen rest = read_to_the_end(peer, 5s);
    const exit_result result = client.wait(10s);
    close(streams[0]);
    close(peer);
    close(server);
    EXPECT_TRUE(rest.ended && rest.error == 0 && rest.data.empty());
    EXPECT_EQ(result.status, 0) << client.err();
}

// The peer half-closes, then resets while standard input still goes to it: the reset ends
// the transfer as a failure (status 1), not the quiet end its half-close was.
TEST(two_way_half_close, a_reset_after_the_peers_end_fails_the_transfer) {
    temp_dir dir;
    const int port = free_tcp_port();
    const int server = listen_tcp(port);
    spawn_options options;
    options.stdin_pipe = true;
    process client = spawn(dir, {"-q", "-i", "-o", "-h", local_host(port)}, options);
    const int peer = accept_with_deadline(server);
    ASSERT_GE(peer, 0);
    send_all(peer, "answer\n");
    shutdown(peer, SHUT_WR);
    EXPECT_FALSE(client.ended_within(500ms)) << client.err();
    EXPECT_EQ(write(client.stdin_write, "more\n", 5), 5);
    EXPECT_EQ(receive_exactly(peer, 5, 3s), "more\n");
    close_with_a_reset(peer);
    EXPECT_TRUE(client.ended_within(3s)) << "the peer's reset did not end the transfer";
    const exit_result result = client.wait(10s);
    close(server);
    EXPECT_EQ(result.status, 1) << client.err();
    EXPECT_NE(client.err().find(error_text(ECONNRESET)), std::string::npos) << client.err();
}

// A person typing expects the session to be over when the peer ends: a terminal's input
// ends the transfer at once.
TEST(two_way_half_close, the_peers_end_ends_a_session_typed_at_a_terminal) {
    temp_dir dir;
    int master = -1;
    int slave = -1;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    const int port = free_tcp_port();
    const int server = listen_tcp(port);
    spawn_options options;
    options.stdin_fd = slave;
    process client = spawn(dir, {"-q", "-i", "-o", "-h", local_host(port)}, options);
    const int peer = accept_with_deadline(server);
    ASSERT_GE(peer, 0);
    send_all(peer, "answer\n");
    shutdown(peer, SHUT_WR);
    EXPECT_TRUE(client.ended_within(3s)) << "the session outlived the peer's end";
    const exit_result result = client.wait(10s);
    close(peer);
    close(server);
    close(master);
    close(slave);
    EXPECT_EQ(result.status, 0) << client.err();
    EXPECT_EQ(client.out(), "answer\n");
}

// Two ferrox ends exchange files of different lengths, each two-way with its file on standard
// input: the shorter one's end is a half-close, and each receives the other's whole file.
TEST(two_way_half_close, two_ferrox_ends_exchange_files_of_different_lengths) {
    const std::string longer = random_bytes(8 << 20, 325);
    const std::string shorter = random_bytes(3 << 20, 326);
    for (const transport over : {transport::tcp, transport::unix_domain}) {
        SCOPED_TRACE(name_of(over));
        temp_dir dir;
        const bool tcp = over == transport::tcp;
        const std::string port = port_text(free_tcp_port());
        const std::string path = dir.file("sock");
        for (const bool listener_sends_longer : {true, false}) {
            SCOPED_TRACE(listener_sends_longer ? "the listener's file longer"
                                               : "the client's file longer");
            const std::string& from_listener = listener_sends_longer ? longer : shorter;
            const std::string& from_client = listener_sends_longer ? shorter : longer;
            spawn_options listening;
            listening.stdin_data = from_listener;
            process listener =
                start_listener(dir,
                               with({"-i", "-o"}, tcp ? std::vector<std::string>{"-l", port}
                                                      : std::vector<std::string>{"-U", path}),
                               listening);
            spawn_options connecting;
            connecting.stdin_data = from_client;
            process client = spawn(
                dir,
                with({"-q", "-i", "-o"}, tcp ? std::vector<std::string>{"-h", "127.0.0.1:" + port}
                                             : std::vector<std::string>{"-u", path}),
                connecting);
            const exit_result client_end = client.wait(30s);
            const exit_result listener_end = listener.wait(30s);
            EXPECT_EQ(client_end.status, 0) << client.err();
            EXPECT_EQ(listener_end.status, 0) << listener.err();
            EXPECT_EQ(client.out().size(), from_listener.size());
            EXPECT_TRUE(client.out() == from_listener);
            EXPECT_EQ(listener.out().size(), from_client.size());
            EXPECT_TRUE(listener.out() == from_client);
        }
    }
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
    ASSERT_EQ(pipe2(slow, O_CLOEXEC), 0);
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
    client.close_stdin();
    const exit_result result = client.wait(60s);
    reply.join();
    close(slow[0]);
    close(peer);
    close(server);
    EXPECT_EQ(result.status, 0) << client.err();
    EXPECT_EQ(client.err().find("timeout"), std::string::npos) << client.err();
    EXPECT_TRUE(arrived == data) << arrived.size() << " of " << data.size() << " bytes";
}

// A two-way client whose standard output, a pipe, stops draining while its server still
// sends: --timeout ends it, and what the client took from the connection, or left unread in
// it, never reaches standard output. That is a failure, status 1, whichever way the bytes
// go: spliced straight from the connection into the pipe at the defaults, or through the
// program for --sum.
TEST(idle_timeout, a_timeout_that_strands_the_peers_bytes_is_a_failure) {
    const struct {
        const char* name;
        std::vector<std::string> options;
    } cases[] = {
        {"at the defaults", {}},
        {"with --sum", {"-s"}},
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(each.name);
        temp_dir dir;
        const int port = free_tcp_port();
        const int server = listen_tcp(port);
        int output[2];
        ASSERT_EQ(pipe2(output, O_CLOEXEC), 0);
        spawn_options options;  // standard input: /dev/null
        options.stdout_fd = output[1];
        process client = spawn(
            dir, with(each.options, {"-i", "-o", "-t", "1", "-h", local_host(port)}), options);
        close(output[1]);
        const int peer = accept_with_deadline(server);
        ASSERT_GE(peer, 0);
        std::thread sender([peer] { send_all(peer, std::string(32 << 20, 'x')); });
        const exit_result result = client.wait(20s);
        shutdown(peer, SHUT_RDWR);
        sender.join();
        close(peer);
        close(output[0]);
        close(server);
        EXPECT_FALSE(result.timed_out) << client.err();
        EXPECT_NE(client.err().find("timeout\n"), std::string::npos) << client.err();
        EXPECT_EQ(result.status, 1) << client.err();
    }
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

// A two-way client feeds 16 MB from a file to a server that takes nothing more, until
// --timeout or Ctrl-C ends it. The summary counts what the server received: every byte that
// a write took, the delivered part of the chunk in flight too, less what the reset at a
// timeout threw away (an interrupt closes plainly, and the server gets every byte written).
TEST(summary_count, a_timeout_or_an_interrupt_counts_what_the_server_received) {
    const struct {
        const char* name;
        std::vector<std::string> options;
        bool interrupted;
    } cases[] = {
        {"--timeout", {"-t", "1"}, false},
        {"Ctrl-C", {}, true},
    };
    const std::string data = random_bytes(16 << 20, 322);
    for (const auto& each : cases) {
        SCOPED_TRACE(each.name);
        temp_dir dir;
        const int port = free_tcp_port();
        const int server = listen_tcp(port);
        spawn_options options;
        options.stdin_data = data;
        process client =
            spawn(dir, with(with({"-i", "-o"}, each.options), {"-h", local_host(port)}), options);
        const int peer = accept_with_deadline(server);
        ASSERT_GE(peer, 0);
        if (each.interrupted) {
            ASSERT_TRUE(client.wait_for_err("connected to")) << client.err();
            std::this_thread::sleep_for(1500ms);  // the server's window is long full
            client.signal(SIGINT);
        }
        const exit_result result = client.wait(20s);
        const std::size_t received = receive_all(peer, 20s).size();  // what it had, then the end
        close(peer);
        close(server);
        EXPECT_FALSE(result.timed_out) << client.err();
        const auto summary = find_summary(client.err(), "bytes transfered in");
        ASSERT_TRUE(summary) << client.err();
        EXPECT_GT(received, 0U);
        if (counts_unacknowledged_bytes || each.interrupted) {
            EXPECT_EQ(summary->bytes, static_cast<long>(received)) << client.err();
        } else {
            // what the reset threw away from the send buffer can't be told apart here
            EXPECT_GE(summary->bytes, static_cast<long>(received)) << client.err();
        }
    }
}

// A relay whose pair fails counts what its peers received. The client sends "req" and ends
// its side, so the relay's lane to the server is done; the server answers 8000 bytes, of
// which the client's tiny window takes a few KiB, and resets. The relay resets the client
// too; its summary says the 3 bytes of the request and what the client then reads, no more:
// a lane that failed never sent its end, so no place in the count of unacknowledged bytes is
// that end's.
TEST(summary_count, a_relay_whose_server_resets_counts_what_its_client_received) {
    temp_dir dir;
    const relay_setup setup = prepare_relay(dir, transport::tcp);
    process relay = start_relay(dir, setup);
    const int client = connect_tcp_with_a_tiny_window(std::stoi(setup.relay_address));
    ASSERT_GE(client, 0);
    const int far = accept_with_deadline(setup.server);
    ASSERT_GE(far, 0);
    send_all(client, "req");
    shutdown(client, SHUT_WR);
    EXPECT_EQ(receive_all(far, 10s), "req");  // the relay passed the client's end on
    send_all(far, random_bytes(8000, 323));
    std::this_thread::sleep_for(500ms);  // the client's window is full, the rest queued
    close_with_a_reset(far);
    const exit_result relay_end = relay.wait(10s);
    const stream_seen at_client = read_to_the_end(client, 10s);
    close(client);
    close(setup.server);
    EXPECT_EQ(relay_end.status, 1) << relay.err();
    EXPECT_NE(relay.err().find("read: " + error_text(ECONNRESET) + "\n"), std::string::npos)
        << relay.err();
    EXPECT_EQ(at_client.error, ECONNRESET) << error_text(at_client.error);
    EXPECT_LT(at_client.data.size(), 8000U) << "the client's window took everything";
    const auto summary = find_summary(relay.err(), "bytes transfered in");
    ASSERT_TRUE(summary) << relay.err();
    const long delivered = 3 + static_cast<long>(at_client.data.size());
    if (counts_unacknowledged_bytes) {
        EXPECT_EQ(summary->bytes, delivered) << relay.err();
    } else {
        EXPECT_GE(summary->bytes, delivered) << relay.err();
    }
}

}  // namespace
