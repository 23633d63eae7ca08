// SPDX-License-Identifier: BSD-2-Clause
// Every kind of standard stream a parent may hand over, on every data path: several MiB go
// through and arrive byte for byte, with the checksum that zlib computes, and status 0.
#include "harness.hpp"

#include <atomic>
#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <ostream>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace e2e;

enum class input_kind { file, pipe, nonblocking_pipe, socket_pair, dev_null };
enum class output_kind {
    file,
    append_file,
    pipe,
    nonblocking_pipe_read_slowly,
    socket_pair,
    dev_null
};
enum class direction { send, receive, two_way };

struct stream_case {
    std::string name;
    direction way;
    input_kind in;
    output_kind out;
    std::vector<std::string> options;
    bool unix_domain = false;  // the peer is on a UNIX-domain socket rather than TCP
};

// Shown by its name in test listings.
void PrintTo(const stream_case& row, std::ostream* out) {
    *out << row.name;
}

constexpr std::size_t payload_size = 4 << 20;
const std::string append_prefix = "already here\n";

// Bytes that never spell an echo label, so that an echo log can be split at its labels.
std::string label_free_bytes(std::size_t count, std::uint32_t seed) {
    std::string data = random_bytes(count, seed);
    for (auto& byte : data) {
        byte = static_cast<char>('a' + static_cast<unsigned char>(byte) % 26);
    }
    return data;
}

void set_nonblocking(int fd) {
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
}

void write_whole(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = write(fd, data, size);
        if (n <= 0) {
            return;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
}

// Standard input of the given kind: the descriptor that ferrox gets, and the test's end of
// it, which delivers the payload in pieces and then either ends or stays open until
// released (a two-way transfer must not end by its input before the peer is done).
struct local_input {
    int child_fd = -1;
    int feed_fd = -1;
    std::thread feeder;
    std::atomic<bool> release{false};

    local_input(input_kind kind, const temp_dir& dir, const std::string& data, bool hold_open) {
        std::signal(SIGPIPE, SIG_IGN);  // a ferrox that ended early is a failed write here
        int ends[2] = {-1, -1};
        switch (kind) {
        case input_kind::file: {
            const std::string path = dir.file("input");
            write_file(path, data);
            child_fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
            return;
        }
        case input_kind::dev_null: child_fd = open("/dev/null", O_RDONLY | O_CLOEXEC); return;
        case input_kind::pipe:
        case input_kind::nonblocking_pipe: pipe2(ends, O_CLOEXEC); break;
        case input_kind::socket_pair:
            socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends);
            break;
        }
        child_fd = ends[0];
        feed_fd = ends[1];
        if (kind == input_kind::nonblocking_pipe) {
            set_nonblocking(child_fd);  // the flag belongs to ferrox's end alone
        }
        feeder = std::thread([this, &data, hold_open] {
            // pieces with pauses, so that ferrox finds the input empty now and then
            constexpr std::size_t piece = 100000;
            for (std::size_t at = 0; at < data.size(); at += piece) {
                write_whole(feed_fd, data.data() + at, std::min(piece, data.size() - at));
                std::this_thread::sleep_for(1ms);
            }
            while (hold_open && !release) {
                std::this_thread::sleep_for(5ms);
            }
            close(feed_fd);
        });
    }
    void given_to_child() {
        close(child_fd);
    }
    ~local_input() {
        release = true;
        if (feeder.joinable()) {
            feeder.join();
        }
    }
};

// Standard output of the given kind and what arrived on it.
struct local_output {
    output_kind kind;
    int child_fd = -1;
    int collect_fd = -1;
    std::string path;
    std::string collected;
    std::thread collector;

    local_output(output_kind out, const temp_dir& dir) : kind(out), path(dir.file("output")) {
        int ends[2] = {-1, -1};
        switch (kind) {
        case output_kind::file:
            child_fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
            return;
        case output_kind::append_file:
            write_file(path, append_prefix);
            child_fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
            return;
        case output_kind::dev_null: child_fd = open("/dev/null", O_WRONLY | O_CLOEXEC); return;
        case output_kind::pipe:
        case output_kind::nonblocking_pipe_read_slowly: pipe2(ends, O_CLOEXEC); break;
        case output_kind::socket_pair:
            socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends);
            break;
        }
        child_fd = ends[1];
        collect_fd = ends[0];
        const bool slowly = kind == output_kind::nonblocking_pipe_read_slowly;
        if (slowly) {
            set_nonblocking(child_fd);
        }
        collector = std::thread([this, slowly] {
            char buffer[65536];
            const std::size_t piece = slowly ? 16384 : sizeof buffer;
            ssize_t n = 0;
            while ((n = read(collect_fd, buffer, piece)) > 0) {
                collected.append(buffer, static_cast<std::size_t>(n));
                if (slowly) {
                    std::this_thread::sleep_for(1ms);
                }
            }
            close(collect_fd);
        });
    }
    void given_to_child() {
        close(child_fd);
    }
    // What arrived, once ferrox has ended; nullopt where the kind keeps nothing.
    std::optional<std::string> arrived() {
        if (collector.joinable()) {
            collector.join();
        }
        switch (kind) {
        case output_kind::file: return read_file(path);
        case output_kind::append_file: {
            const std::string whole = read_file(path);
            if (whole.rfind(append_prefix, 0) != 0) {
                return "(the appended file lost what it held)";
            }
            return whole.substr(append_prefix.size());
        }
        case output_kind::dev_null: return std::nullopt;
        default: return collected;
        }
    }
    ~local_output() {
        if (collector.joinable()) {
            collector.join();
        }
    }
};

bool with_sum(const stream_case& row) {
    return std::find(row.options.begin(), row.options.end(), "-s") != row.options.end();
}

void expect_checksum(const std::string& err, const std::string& data) {
    EXPECT_NE(err.find("checksum: " + std::to_string(zlib_adler32(data)) + "\n"), std::string::npos)
        << err;
}

class stream_kinds : public ::testing::TestWithParam<stream_case> {};

TEST_P(stream_kinds, every_byte_arrives_and_the_status_is_zero) {
    const stream_case& row = GetParam();
    temp_dir dir;
    const std::string to_peer = label_free_bytes(payload_size, 11);
    const std::string from_peer = label_free_bytes(payload_size, 12);
    const bool sends = row.way != direction::receive;
    const bool receives = row.way != direction::send;
    const std::string& sent = row.in == input_kind::dev_null ? std::string() : to_peer;
    local_input input(row.in, dir, to_peer, row.way == direction::two_way);
    local_output output(row.out, dir);
    const int port = free_tcp_port();
    std::vector<std::string> args = row.options;
    if (row.way == direction::two_way) {
        args.insert(args.end(), {"-i", "-o"});
    }
    spawn_options options;
    options.stdin_fd = input.child_fd;
    options.stdout_fd = output.child_fd;
    options.cwd = dir.path;
    const bool listens = row.way == direction::receive;
    const std::string path = dir.file("sock");
    const int server = listens ? -1 : row.unix_domain ? listen_unix(path) : listen_tcp(port);
    if (row.unix_domain) {
        args.insert(args.end(), {listens ? "-U" : "-u", path});
    } else {
        args.insert(args.end(),
                    {listens ? "-l" : "-h", listens ? port_text(port) : local_host(port)});
    }
    process ferrox = listens ? start_listener(dir, args, options) : spawn(dir, args, options);
    const int peer = listens ? (row.unix_domain ? connect_unix(path) : connect_tcp(port))
                             : accept_with_deadline(server);
    input.given_to_child();
    output.given_to_child();
    ASSERT_GE(peer, 0) << ferrox.err();
    std::thread talker;
    if (receives) {
        talker = std::thread([&] { send_all(peer, from_peer); });
    }
    std::string got_by_peer;
    if (sends) {
        got_by_peer = row.way == direction::two_way ? receive_exactly(peer, sent.size(), 60s)
                                                    : receive_all(peer, 60s);
    }
    if (talker.joinable()) {
        talker.join();
    }
    // standard input (not a terminal) goes on to the peer after the peer's end, until it ends
    input.release = true;
    shutdown(peer, SHUT_WR);
    const exit_result result = ferrox.wait(60s);
    close(peer);
    if (server >= 0) {
        close(server);
    }
    const std::string err = ferrox.err();
    EXPECT_TRUE(result.exited && result.status == 0) << "status " << result.status << ": " << err;
    if (sends) {
        EXPECT_EQ(got_by_peer.size(), sent.size());
        EXPECT_TRUE(got_by_peer == sent) << "the peer's bytes differ";
    }
    const std::optional<std::string> written = output.arrived();
    if (receives && written) {
        EXPECT_EQ(written->size(), from_peer.size());
        EXPECT_TRUE(*written == from_peer) << "standard output's bytes differ";
    }
    if (row.way == direction::send) {
        const auto summary =
            find_summary(err, row.unix_domain ? "bytes written to localhost:" + path
                                              : "bytes written to 127.0.0.1");
        ASSERT_TRUE(summary) << err;
        EXPECT_EQ(summary->bytes, static_cast<long>(sent.size()));
    } else if (row.way == direction::receive) {
        const auto summary = find_summary(err, "bytes written to stdout");
        ASSERT_TRUE(summary) << err;
        EXPECT_EQ(summary->bytes, static_cast<long>(from_peer.size()));
    } else {
        const auto summary = find_summary(err, "bytes transfered in");
        ASSERT_TRUE(summary) << err;
        EXPECT_EQ(summary->bytes, static_cast<long>(sent.size() + from_peer.size()));
    }
    if (with_sum(row) && row.way != direction::two_way) {
        expect_checksum(err, sends ? sent : from_peer);
    }
    if (std::find(row.options.begin(), row.options.end(), "-e") != row.options.end()) {
        // the records of each direction, put together, are that direction's bytes
        const std::string log = read_file(dir.file("echo.log"));
        std::string near, far;
        for (auto at = log.find(": "); at != std::string::npos;) {
            const char label = log[at - 1];
            const auto next = std::min(log.find("L: ", at + 2), log.find("H: ", at + 2));
            const auto end = next == std::string::npos ? log.size() : next;
            (label == 'L' ? near : far) += log.substr(at + 2, end - at - 2);
            at = next == std::string::npos ? next : next + 1;
        }
        EXPECT_TRUE(near == sent) << "near records: " << near.size();
        EXPECT_TRUE(far == from_peer) << "far records: " << far.size();
    }
}

std::vector<stream_case> all_cases() {
    const std::vector<std::pair<std::string, input_kind>> inputs = {
        {"file", input_kind::file},
        {"pipe", input_kind::pipe},
        {"nonblocking_pipe", input_kind::nonblocking_pipe},
        {"socket_pair", input_kind::socket_pair},
        {"dev_null", input_kind::dev_null}};
    const std::vector<std::pair<std::string, output_kind>> outputs = {
        {"file", output_kind::file},
        {"append_file", output_kind::append_file},
        {"pipe", output_kind::pipe},
        {"nonblocking_pipe_read_slowly", output_kind::nonblocking_pipe_read_slowly},
        {"socket_pair", output_kind::socket_pair},
        {"dev_null", output_kind::dev_null}};
    const std::vector<std::pair<std::string, std::vector<std::string>>> paths = {{"", {}},
                                                                                 {"_sum", {"-s"}}};
    std::vector<stream_case> cases;
    for (const auto& [path_name, options] : paths) {
        for (const auto& [name, kind] : inputs) {
            cases.push_back({"send_from_" + name + path_name, direction::send, kind,
                             output_kind::file, options});
        }
        for (const auto& [name, kind] : outputs) {
            cases.push_back({"receive_to_" + name + path_name, direction::receive, input_kind::file,
                             kind, options});
        }
    }
    // Over a UNIX-domain socket, where a file is read before the kernel sends it and, with
    // --sum, a receiver writes a pipe in moves larger than the buffer.
    for (const auto& [path_name, options] : paths) {
        cases.push_back({"unix_send_from_file" + path_name, direction::send, input_kind::file,
                         output_kind::file, options, true});
        for (const output_kind kind :
             {output_kind::pipe, output_kind::nonblocking_pipe_read_slowly}) {
            cases.push_back(
                {std::string("unix_receive_to_") +
                     (kind == output_kind::pipe ? "pipe" : "nonblocking_pipe_read_slowly") +
                     path_name,
                 direction::receive, input_kind::file, kind, options, true});
        }
    }
    // Two ways: the input is held open until the peer is done, so it must be a stream.
    for (const auto& [name, kind] : outputs) {
        cases.push_back(
            {"two_way_pipe_to_" + name, direction::two_way, input_kind::pipe, kind, {}});
    }
    cases.push_back({"two_way_nonblocking_pipe_to_nonblocking_pipe_sum",
                     direction::two_way,
                     input_kind::nonblocking_pipe,
                     output_kind::nonblocking_pipe_read_slowly,
                     {"-s"}});
    cases.push_back({"two_way_socket_pair_to_socket_pair",
                     direction::two_way,
                     input_kind::socket_pair,
                     output_kind::socket_pair,
                     {}});
    cases.push_back({"two_way_nonblocking_pipe_with_echo",
                     direction::two_way,
                     input_kind::nonblocking_pipe,
                     output_kind::nonblocking_pipe_read_slowly,
                     {"-e", "echo.log"}});
    return cases;
}

INSTANTIATE_TEST_SUITE_P(, stream_kinds, ::testing::ValuesIn(all_cases()),
                         [](const auto& info) { return info.param.name; });

}  // namespace
