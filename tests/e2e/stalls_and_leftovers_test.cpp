// SPDX-License-Identifier: BSD-2-Clause
// Runs that must end, transfers that must not crawl, and what a run leaves behind.
#include "harness.hpp"

#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace e2e;

// A listening socket whose accepted peers can take only a few KiB: they never read.
int listen_with_small_receive_buffer(int port) {
    const int listening = listen_tcp(port);
    const int small = 4096;
    setsockopt(listening, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    return listening;
}

// A two-way transfer whose peer takes nothing: --timeout ends it even though ferrox is
// waiting to write, not to read, and the bytes it holds for the peer make it a failure.
TEST(stalls, the_idle_timeout_covers_a_destination_that_takes_nothing) {
    temp_dir dir;
    const int port = free_tcp_port();
    const int server = listen_with_small_receive_buffer(port);
    spawn_options options;
    options.stdin_data = random_bytes(16 << 20, 41);
    process client = spawn(dir, {"-i", "-o", "-t", "1", "-h", local_host(port)}, options);
    const int peer = accept_with_deadline(server);
    ASSERT_GE(peer, 0);
    const exit_result result = client.wait(30s);
    close(peer);
    close(server);
    EXPECT_FALSE(result.timed_out) << client.err();
    EXPECT_NE(client.err().find("timeout\n"), std::string::npos) << client.err();
    EXPECT_EQ(result.status, 1) << client.err();
}

// A small receive buffer on the listener is set before the connection exists: shrunk
// afterwards, below the window already advertised, it made the kernel drop segments and
// 1 MB took 22 seconds.
TEST(stalls, a_small_socket_buffer_on_the_receiver_does_not_make_tcp_crawl) {
    temp_dir dir;
    const std::string data = random_bytes(1 << 20, 42);
    const int port = free_tcp_port();
    process listener = start_listener(dir, {"-l", port_text(port), "-B", "4096"});
    spawn_options options;
    options.stdin_data = data;
    process client = spawn(dir, {"-h", local_host(port)}, options);
    const exit_result result = listener.wait(8s);
    EXPECT_FALSE(result.timed_out) << "1 MB did not arrive in 8 seconds";
    EXPECT_EQ(client.wait(20s).status, 0);
    EXPECT_TRUE(listener.out() == data);
}

// A fatal exit and SIGTERM remove the UNIX-domain listening socket file, so that the next
// run can listen there again.
TEST(leftovers, a_relay_whose_onward_connect_fails_removes_its_socket_file) {
    temp_dir dir;
    const std::string path = dir.file("relay.sock");
    process relay = start_listener(dir, {"-U", path, "-u", dir.file("missing.sock")});
    const int client = connect_unix(path);
    ASSERT_GE(client, 0);
    const exit_result result = relay.wait(20s);
    close(client);
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(relay.err().find("error connecting socket\n"), std::string::npos) << relay.err();
    EXPECT_NE(access(path.c_str(), F_OK), 0) << "the socket file is left behind";
}

// Removing the file on every exit must not reach a file that a failed bind found there.
TEST(leftovers, a_socket_file_in_use_by_another_is_never_removed) {
    temp_dir dir;
    const std::string path = dir.file("taken.sock");
    const int other = listen_unix(path);
    const run_result second = run(dir, {"-U", path}, "", 20s);
    EXPECT_EQ(second.exit.status, 1);
    EXPECT_NE(second.err.find("bind: " + error_text(EADDRINUSE) + "\n"), std::string::npos);
    EXPECT_EQ(access(path.c_str(), F_OK), 0) << "the other listener's file was removed";
    close(other);
}

TEST(leftovers, empty_socket_paths_are_refused_with_the_option_named) {
    temp_dir dir;
    const std::string sock = dir.file("sock");
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"-U", ""},
         "--unix-listen needs a socket path, not an empty one\n"
         "error creating server socket\n"},
        {{"-u", ""},
         "--unix-host needs a socket path, not an empty one\n"
         "error connecting socket\n"},
        {{"-u", sock, "-P", ""},
         "--bind-port needs a socket path, not an empty one\n"
         "error connecting socket\n"},
    };
    for (const auto& [args, err] : cases) {
        const run_result result = run(dir, args, "", 20s);
        EXPECT_EQ(result.exit.status, 1);
        EXPECT_EQ(result.err, err);
    }
}

TEST(leftovers, information_texts_that_cant_be_written_fail) {
    temp_dir dir;
    for (const std::string option : {"--help", "--version", "--credits"}) {
        spawn_options options;
        options.stdout_fd = open("/dev/full", O_WRONLY | O_CLOEXEC);
        process shown = spawn(dir, {option}, options);
        close(options.stdout_fd);
        const exit_result result = shown.wait(20s);
        EXPECT_EQ(result.status, 1) << option;
        EXPECT_EQ(shown.err(), "write: " + error_text(ENOSPC) + "\n") << option;
    }
}

}  // namespace
