// SPDX-License-Identifier: BSD-2-Clause
#include "harness.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace e2e;

bool exists(const std::string& path) {
    struct stat info {};
    return lstat(path.c_str(), &info) == 0;
}

process start_unix_listener(const temp_dir& dir, const std::vector<std::string>& args,
                            const spawn_options& options = {}) {
    return start_listener(dir, args, options);
}

using unix_send_receive = on_every_path;

TEST_P(unix_send_receive, send_and_receive_over_a_socket_file_byte_for_byte) {
    temp_dir dir;
    const std::string path = dir.file("sock"), file = dir.file("data");
    const std::string data = random_bytes(500000, 20);
    write_file(file, data);

    // the listener receives from a client that sends a file
    process listener = start_unix_listener(dir, with_path({"-U", path}));
    const run_result client = run(dir, with_path({"-u", path, file}));
    EXPECT_EQ(listener.wait(30s).status, 0);
    EXPECT_EQ(client.exit.status, 0);
    EXPECT_EQ(listener.out(), data);
    EXPECT_EQ(listener.err().rfind("listening on unix:" + path + ".\nconnection from unix:.\n", 0),
              0U)
        << listener.err();
    EXPECT_EQ(client.err.rfind("connected to unix:" + path + ".\n", 0), 0U) << client.err;
    EXPECT_TRUE(find_summary(client.err, "bytes written to localhost:" + path + " in"));
    EXPECT_FALSE(exists(path)) << "the listening socket file is removed at the end of the run";

    // the listener sends; the client receives
    process sender = start_unix_listener(dir, with_path({"-U", path, "-i", file}));
    const run_result receiver = run(dir, with_path({"-u", path, "-o"}));
    EXPECT_EQ(sender.wait(30s).status, 0);
    EXPECT_EQ(receiver.out, data);
    EXPECT_FALSE(exists(path));
}

TEST(unix_one_way, a_peer_bound_with_bind_port_is_named_by_its_path) {
    temp_dir dir;
    const std::string path = dir.file("sock"), bound = dir.file("client:with-colon");
    process listener = start_unix_listener(dir, {"-U", path});
    const run_result client = run(dir, {"-u", path, "-P", bound}, "x");
    EXPECT_EQ(listener.wait(30s).status, 0);
    EXPECT_NE(listener.err().find("connection from unix:" + bound + ".\n"), std::string::npos)
        << listener.err();
    EXPECT_TRUE(exists(bound)) << "the bound client socket file is never removed";
}

TEST(unix_two_way, standard_streams_and_a_peer_move_both_ways) {
    temp_dir dir;
    const std::string path = dir.file("sock"), log = dir.file("log");
    spawn_options options;
    options.stdin_pipe = true;
    process listener = spawn(dir, {"-U", path, "-e", log, "-q"}, options);
    ASSERT_TRUE(wait_for_path(path));
    const int fd = connect_unix(path);
    ASSERT_GE(fd, 0);
    send_all(fd, "from peer\n");
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (listener.out() != "from peer\n" && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(5ms);
    }
    ASSERT_EQ(write(listener.stdin_write, "to peer\n", 8), 8);
    EXPECT_EQ(receive_exactly(fd, 8), "to peer\n");
    close(fd);
    listener.close_stdin();
    EXPECT_EQ(listener.wait(20s).status, 0);
    EXPECT_EQ(listener.out(), "from peer\n");
    // the UNIX-domain listening line reaches the echo log, even under --quiet
    EXPECT_EQ(read_file(log), "=============\nlistening on unix:" + path +
                                  ".\nconnection from unix:.\nH: from peer\nL: to peer\n");
    EXPECT_EQ(listener.err(), "");
}

// --unix-listen with --host and --port: both sides are socket files.
TEST(unix_relay, shuttles_between_two_socket_files) {
    temp_dir dir;
    const std::string front = dir.file("front"), back = dir.file("back");
    const std::string up = random_bytes(2 << 20, 21), down = random_bytes(2 << 20, 22);
    const int server = listen_unix(back);
    std::string at_server;
    std::thread server_side([&] {
        const int fd = accept_with_deadline(server);
        std::thread sender([&] { send_all(fd, down); });
        at_server = receive_exactly(fd, up.size(), 60s);
        sender.join();
        close(fd);
    });
    process relay = start_unix_listener(dir, {"-U", front, "-h", "ignored", "-p", back});
    const int client = connect_unix(front);
    ASSERT_GE(client, 0);
    std::thread sender([&] { send_all(client, up); });
    const std::string received = receive_exactly(client, down.size(), 60s);
    sender.join();
    server_side.join();
    close(client);
    close(server);
    EXPECT_EQ(relay.wait(30s).status, 0);
    EXPECT_TRUE(at_server == up);
    EXPECT_TRUE(received == down);
    EXPECT_NE(relay.err().find("connected to unix:" + back + ".\n"), std::string::npos);
    EXPECT_FALSE(exists(front));
}

TEST(unix_listener, a_stale_socket_file_makes_the_listener_fail) {
    temp_dir dir;
    const std::string path = dir.file("sock");
    process first = start_unix_listener(dir, {"-U", path});
    first.signal(SIGKILL);  // no end of run: the file stays behind
    first.wait(10s);
    ASSERT_TRUE(exists(path));
    const run_result second = run(dir, {"-U", path}, "", 20s);
    EXPECT_EQ(second.exit.status, 1);
    EXPECT_EQ(second.err, "bind: " + error_text(EADDRINUSE) + "\nerror creating server socket\n");
}

TEST(unix_paths, a_107_character_path_works_and_a_108_character_one_is_refused) {
    temp_dir dir;
    const std::string prefix = dir.path + "/";
    const std::string fits = prefix + std::string(107 - prefix.size(), 'a');
    const std::string too_long = prefix + std::string(108 - prefix.size(), 'b');
    ASSERT_EQ(fits.size(), 107U);

    process listener = start_unix_listener(dir, {"-U", fits});
    const run_result client = run(dir, {"-u", fits}, "ok");
    EXPECT_EQ(listener.wait(20s).status, 0);
    EXPECT_EQ(listener.out(), "ok");

    const std::string refusal =
        "socket path too long (108 characters, at most 107): " + too_long + "\n";
    struct refusal_case {
        std::vector<std::string> args;
        std::string fatal_line;
    };
    const refusal_case cases[] = {
        {{"-U", too_long}, "error creating server socket\n"},
        {{"-u", too_long}, "error connecting socket\n"},
        {{"-u", fits, "-P", too_long}, "error connecting socket\n"},
    };
    for (const auto& c : cases) {
        const run_result result = run(dir, c.args, "", 20s);
        EXPECT_EQ(result.exit.status, 1);
        EXPECT_EQ(result.err, refusal + c.fatal_line);
    }
    EXPECT_FALSE(exists(too_long));
}

TEST(unix_continue, a_bound_client_fails_to_bind_again_in_its_second_cycle) {
    temp_dir dir;
    const std::string path = dir.file("sock"), bound = dir.file("bound");
    const std::string file = dir.file("file");
    write_file(file, "sent in every cycle");
    process listener = start_unix_listener(dir, {"-c", "-U", path});
    // a file operand, not standard input, so that the client has something for a second cycle
    const run_result client = run(dir, {"-c", "-u", path, "-P", bound, file}, "", 20s);
    EXPECT_EQ(client.exit.status, 1);
    const std::string tail = "bind: " + error_text(EADDRINUSE) + "\nerror connecting socket\n";
    ASSERT_GE(client.err.size(), tail.size());
    EXPECT_EQ(client.err.substr(client.err.size() - tail.size()), tail);
    listener.signal(SIGKILL);
}

INSTANTIATE_TEST_SUITE_P(paths, unix_send_receive, every_path, path_name);

}  // namespace
