// SPDX-License-Identifier: BSD-2-Clause
// Chunks that can be seen keep to --buffer-size: a dot per buffer_size bytes of a file, an
// echo record per chunk of at most buffer_size bytes. Where nothing shows them, moves are
// larger, and every byte and the checksum are the same.
#include "harness.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace e2e;

// Bytes that hold no echo label, so that the log can be cut at its labels.
std::string letters(std::size_t count, std::uint32_t seed) {
    std::string data = random_bytes(count, seed);
    for (char& byte : data) {
        byte = static_cast<char>('a' + static_cast<unsigned char>(byte) % 26);
    }
    return data;
}

using visible_chunks = on_every_path;

// A file operand shows one dot per chunk, and a chunk of a regular file is buffer_size bytes
// but the last, whatever size the moves that nobody sees would take.
TEST_P(visible_chunks, a_file_operand_shows_one_dot_per_buffer_size) {
    struct sizes {
        std::vector<std::string> option;
        std::size_t chunk;
    };
    for (const sizes& each : {sizes{{}, 65536}, sizes{{"-b", "100000"}, 100000}}) {
        temp_dir dir;
        const std::string file = dir.file("data");
        const std::size_t size = 3 << 20;
        write_file(file, random_bytes(size, 90));
        const int port = free_tcp_port();
        process listener = start_listener(dir, with_path({"-l", port_text(port)}));
        // after the path's own options, so that its --buffer-size wins
        std::vector<std::string> args = with_path({"-h", local_host(port), file});
        args.insert(args.begin() + static_cast<std::ptrdiff_t>(GetParam().options.size()),
                    each.option.begin(), each.option.end());
        const run_result client = run(dir, args, "", 30s);
        EXPECT_EQ(listener.wait(30s).status, 0) << listener.err();
        EXPECT_EQ(client.exit.status, 0) << client.err;
        const std::string dots((size + each.chunk - 1) / each.chunk, '.');
        EXPECT_NE(client.err.find("sending file " + file + " " + dots + " done.\n"),
                  std::string::npos)
            << client.err;
        EXPECT_TRUE(listener.out() == read_file(file));
    }
}

// Every echo record is one chunk of at most buffer_size bytes, at the default and with
// --buffer-size, and the records put together are the stream.
TEST_P(visible_chunks, echo_records_are_never_larger_than_the_buffer) {
    for (const std::size_t chunk : {std::size_t{65536}, std::size_t{1000}}) {
        temp_dir dir;
        const std::string log = dir.file("log");
        const auto [server_port, server, relay_port] = open_relay_ports();
        std::vector<std::string> options{"-e", log};
        if (chunk != 65536) {
            options.insert(options.end(), {"-b", std::to_string(chunk)});
        }
        process relay =
            start_listener(dir, with_path(relay_args(relay_port, server_port, options)));
        const auto [client, far] = connect_through(relay_port, server);
        ASSERT_GE(far, 0);
        const std::string reply = letters(2 << 20, 91);
        std::thread answer([far = far, &reply] {
            send_all(far, reply);
            shutdown(far, SHUT_WR);
        });
        const std::string arrived = receive_all(client, 30s);
        answer.join();
        close(client);
        close(far);
        close(server);
        EXPECT_EQ(relay.wait(30s).status, 0) << relay.err();
        EXPECT_TRUE(arrived == reply);
        const std::string text = read_file(log);
        std::string joined;
        std::size_t largest = 0;
        for (auto at = text.find("H: "); at != std::string::npos;) {
            const auto next = text.find("H: ", at + 3);
            const std::size_t length = (next == std::string::npos ? text.size() : next) - at - 3;
            largest = std::max(largest, length);
            joined += text.substr(at + 3, length);
            at = next;
        }
        EXPECT_LE(largest, chunk);
        EXPECT_GT(largest, 0U);
        EXPECT_TRUE(joined == reply) << joined.size() << " of " << reply.size() << " bytes";
    }
}

INSTANTIATE_TEST_SUITE_P(paths, visible_chunks, every_path, path_name);

// Large transfers over TCP and UNIX-domain sockets into a file and into a pipe, where the
// moves are larger than the buffer and the sender takes its own route from a file: every
// byte arrives and the checksum is the one zlib gives. The pipe's reader starts late, so
// that the sender finds the connection full in the middle of its moves.
TEST(unseen_chunks, large_transfers_into_a_file_and_a_pipe_arrive_whole) {
    const std::string data = random_bytes(24 << 20, 92);
    for (const bool unix_domain : {false, true}) {
        for (const bool into_pipe : {false, true}) {
            for (const bool with_sum : {false, true}) {
                temp_dir dir;
                const std::string file = dir.file("data");
                write_file(file, data);
                const int port = free_tcp_port();
                const std::string path = dir.file("sock");
                int ends[2] = {-1, -1};
                spawn_options options;
                if (into_pipe) {
                    ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);  // ferrox holds only the write end
                    options.stdout_fd = ends[1];
                }
                std::vector<std::string> receiver =
                    unix_domain ? std::vector<std::string>{"-U", path}
                                : std::vector<std::string>{"-l", port_text(port)};
                std::vector<std::string> sender =
                    unix_domain ? std::vector<std::string>{"-q", "-u", path, file}
                                : std::vector<std::string>{"-q", "-h", local_host(port), file};
                if (with_sum) {
                    receiver.push_back("-s");
                    sender.push_back("-s");
                }
                process listener = start_listener(dir, receiver, options);
                std::string piped;
                std::thread reader;
                if (into_pipe) {
                    close(ends[1]);
                    reader = std::thread([&piped, fd = ends[0]] {
                        std::this_thread::sleep_for(300ms);
                        char piece[65536];
                        for (ssize_t n = 0; (n = read(fd, piece, sizeof piece)) > 0;) {
                            piped.append(piece, static_cast<std::size_t>(n));
                        }
                    });
                }
                const run_result client = run(dir, sender, "", 60s);
                const exit_result received = listener.wait(60s);
                if (into_pipe) {
                    reader.join();
                    close(ends[0]);
                }
                const std::string label = std::string(unix_domain ? "unix, " : "tcp, ") +
                                          (into_pipe ? "pipe" : "file") +
                                          (with_sum ? ", --sum" : "");
                EXPECT_EQ(client.exit.status, 0) << label << ": " << client.err;
                EXPECT_EQ(received.status, 0) << label << ": " << listener.err();
                EXPECT_TRUE((into_pipe ? piped : listener.out()) == data) << label;
                if (with_sum) {
                    const std::string line =
                        "checksum: " + std::to_string(zlib_adler32(data)) + "\n";
                    EXPECT_NE(listener.err().find(line), std::string::npos) << label;
                    EXPECT_NE(client.err.find(line), std::string::npos) << label;
                }
            }
        }
    }
}

// With --sum, a pipe that a receiver writes is made to hold 1 MiB where no chunk is seen, so
// that its reader takes more at a time. Without --sum, where dots show the chunks, or with
// --buffer-size, the pipe keeps the size it was given: it may be shared and outlives ferrox.
TEST(unseen_chunks, a_pipe_written_grows_only_with_the_checksum_where_no_chunk_is_seen) {
#if defined(FERROX_NO_KERNEL_PATHS) || !defined(F_SETPIPE_SZ)
    GTEST_SKIP() << "this build leaves a pipe's size to the system";
#else
    constexpr int grown = 1 << 20;
    if (std::stoi(read_file("/proc/sys/fs/pipe-max-size")) < grown) {
        GTEST_SKIP() << "this system keeps pipes below 1 MiB";
    }
    struct row {
        std::vector<std::string> options;  // a listener prints its dots with -v only
        bool grows;
    };
    for (const row& each : {row{{"-s"}, true}, row{{}, false}, row{{"-s", "-b", "65536"}, false},
                            row{{"-s", "-v"}, false}}) {
        temp_dir dir;
        int ends[2] = {-1, -1};
        ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);
        const int given = fcntl(ends[1], F_GETPIPE_SZ);
        ASSERT_LT(given, grown);
        spawn_options options;
        options.stdout_fd = ends[1];
        const int port = free_tcp_port();
        std::vector<std::string> args = each.options;
        args.insert(args.end(), {"-l", port_text(port)});
        process listener = start_listener(dir, args, options);
        close(ends[1]);
        const int peer = connect_tcp(port);
        ASSERT_GE(peer, 0);
        send_all(peer, "hello");
        close(peer);
        EXPECT_EQ(listener.wait(20s).status, 0) << listener.err();
        char arrived[16] = {};
        EXPECT_EQ(read(ends[0], arrived, sizeof arrived), 5);
        EXPECT_EQ(fcntl(ends[0], F_GETPIPE_SZ), each.grows ? grown : given)
            << testing::PrintToString(each.options);
        close(ends[0]);
    }
#endif
}

}  // namespace
