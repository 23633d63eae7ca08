// SPDX-License-Identifier: BSD-2-Clause
#include "harness.hpp"

#include <atomic>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace e2e;

// A pseudo-terminal: ferrox gets the slave as standard input and controlling terminal, the
// test types into the master.
struct pseudo_terminal {
    int master = -1;
    int slave = -1;
    pseudo_terminal() {
        if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
            throw std::runtime_error("openpty failed");
        }
    }
    ~pseudo_terminal() {
        close(master);
        close(slave);
    }
    pseudo_terminal(const pseudo_terminal&) = delete;
    pseudo_terminal& operator=(const pseudo_terminal&) = delete;
    void type(const std::string& keys) const {
        ASSERT_EQ(write(master, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
    }
    [[nodiscard]] bool canonical() const {
        termios attributes{};
        tcgetattr(slave, &attributes);
        return (attributes.c_lflag & ICANON) != 0;
    }
    [[nodiscard]] spawn_options as_stdin() const {
        spawn_options options;
        options.stdin_fd = slave;
        options.controlling_tty = true;
        return options;
    }
};

bool wait_until(const std::function<bool()>& condition, seconds limit = 10s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        if (condition()) {
            return true;
        }
        std::this_thread::sleep_for(5ms);
    }
    return condition();
}

bool ends_with(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

TEST(nobuf, a_keystroke_goes_out_without_a_line_end_and_the_terminal_comes_back) {
    temp_dir dir;
    pseudo_terminal terminal;
    const bool echo_before = [&] {
        termios attributes{};
        tcgetattr(terminal.slave, &attributes);
        return (attributes.c_lflag & ECHO) != 0;
    }();
    const int port = free_tcp_port();
    const int server = listen_tcp(port);
    process client = spawn(dir, {"-n", "-i", "-o", "-h", local_host(port)}, terminal.as_stdin());
    const int fd = accept_with_deadline(server);
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(wait_until([&] { return !terminal.canonical(); }));
    termios during{};
    tcgetattr(terminal.slave, &during);
    EXPECT_EQ((during.c_lflag & ECHO) != 0, echo_before) << "only ICANON changes";
    EXPECT_NE(during.c_lflag & ISIG, 0U);
    terminal.type("a");
    EXPECT_EQ(receive_exactly(fd, 1, 10s), "a");
    close(fd);  // the peer ends the transfer; the end of run restores the terminal
    EXPECT_EQ(client.wait(20s).status, 0) << client.err();
    EXPECT_TRUE(terminal.canonical());
    close(server);
}

TEST(nobuf, ctrl_c_gives_the_terminal_back_and_ends_the_transfer) {
    temp_dir dir;
    pseudo_terminal terminal;
    const int port = free_tcp_port();
    const int server = listen_tcp(port);
    process client = spawn(dir, {"-n", "-i", "-o", "-h", local_host(port)}, terminal.as_stdin());
    const int fd = accept_with_deadline(server);
    ASSERT_TRUE(wait_until([&] { return !terminal.canonical(); }));
    ASSERT_TRUE(client.wait_for_err("connected to"));
    terminal.type("\x03");
    const exit_result result = client.wait(20s);
    close(fd);
    close(server);
    EXPECT_EQ(result.status, 0);
    EXPECT_TRUE(terminal.canonical());
    const std::string err = client.err();
    EXPECT_NE(err.find("interupted.\nselect: "), std::string::npos) << err;
    EXPECT_TRUE(find_summary(err, "bytes transfered in")) << err;
}

// Ctrl-C and Ctrl-\ in each kind of work: the lines that follow and the exit status.
TEST(interrupt, ends_a_two_way_transfer_with_the_select_line_for_both_signals) {
    for (int number : {SIGINT, SIGQUIT}) {
        temp_dir dir;
        const int port = free_tcp_port();
        const int server = listen_tcp(port);
        spawn_options options;
        options.stdin_pipe = true;
        process client = spawn(dir, {"-i", "-o", "-h", local_host(port)}, options);
        const int fd = accept_with_deadline(server);
        send_all(fd, "some");
        ASSERT_TRUE(wait_until([&] { return client.out() == "some"; }));
        client.signal(number);
        const exit_result result = client.wait(20s);
        close(fd);
        close(server);
        EXPECT_EQ(result.status, 0) << strsignal(number);
        const std::string err = client.err();
        EXPECT_NE(err.find("interupted.\nselect: "), std::string::npos) << err;
        const auto summary = find_summary(err, "bytes transfered in");
        ASSERT_TRUE(summary) << err;
        EXPECT_EQ(summary->bytes, 4);
    }
}

TEST(interrupt, ends_a_receive_with_its_summary_and_status_zero) {
    temp_dir dir;
    const int port = free_tcp_port();
    const int server = listen_tcp(port);
    process client = spawn(dir, {"-o", "-h", local_host(port)});
    const int fd = accept_with_deadline(server);
    send_all(fd, "12345");
    ASSERT_TRUE(wait_until([&] { return client.out() == "12345"; }));
    client.signal(SIGINT);
    const exit_result result = client.wait(20s);
    close(fd);
    close(server);
    EXPECT_EQ(result.status, 0);
    const std::string err = client.err();
    EXPECT_NE(err.find("interupted.\n5 bytes written to stdout in"), std::string::npos) << err;
}

// The read of a terminal in canonical mode with half a line typed ends at once.
TEST(interrupt, ends_a_send_from_a_terminal_with_half_a_line_typed) {
    temp_dir dir;
    pseudo_terminal terminal;
    const int port = free_tcp_port();
    const int server = listen_tcp(port);
    process client = spawn(dir, {"-h", local_host(port)}, terminal.as_stdin());
    const int fd = accept_with_deadline(server);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(client.wait_for_err("connected to"));
    terminal.type("half a li");
    std::this_thread::sleep_for(100ms);
    terminal.type("\x03");
    const exit_result result = client.wait(20s);
    EXPECT_EQ(receive_all(fd, 5s), "");
    close(fd);
    close(server);
    EXPECT_EQ(result.status, 0);
    const std::string err = client.err();
    EXPECT_NE(err.find("interupted.\n0 bytes written to 127.0.0.1:" + port_text(port)),
              std::string::npos)
        << err;
}

TEST(interrupt, ends_a_waiting_listener_with_the_accept_failure_and_removes_its_file) {
    temp_dir dir;
    const std::string path = dir.file("sock");
    const int port = free_tcp_port();
    const std::vector<std::vector<std::string>> listeners = {{"-l", port_text(port)}, {"-U", path}};
    for (const auto& args : listeners) {
        process listener = start_listener(dir, args);
        listener.signal(SIGINT);
        const exit_result result = listener.wait(20s);
        EXPECT_EQ(result.status, 1);
        EXPECT_TRUE(ends_with(listener.err(), "interupted.\naccept: " + error_text(EBADF) +
                                                  "\n"
                                                  "error accepting connections\n"))
            << listener.err();
    }
    EXPECT_NE(access(path.c_str(), F_OK), 0) << "the socket file is gone";
}

// A file send blocked in a write to a peer that doesn't read: the write that fails on the
// closed connection is not reported, and the status stays 0.
TEST(interrupt, a_send_blocked_in_write_ends_quietly_with_status_zero) {
    temp_dir dir;
    const std::string file = dir.file("big");
    write_file(file, random_bytes(16 << 20, 30));
    const int port = free_tcp_port();
    const int server = listen_tcp(port);
    process client = spawn(dir, {"-h", local_host(port), file, file});
    const int fd = accept_with_deadline(server);
    ASSERT_TRUE(wait_until([&] { return client.err().find("...") != std::string::npos; }));
    std::this_thread::sleep_for(300ms);  // the socket buffers fill and the write blocks
    client.signal(SIGINT);
    const exit_result result = client.wait(20s);
    close(fd);
    close(server);
    const std::string err = client.err();
    EXPECT_EQ(result.status, 0) << err;
    EXPECT_EQ(err.find("write:"), std::string::npos) << err;
    EXPECT_NE(err.find("interupted.\n"), std::string::npos);
    EXPECT_EQ(count_of(err, "sending file"), 1U) << "the second operand is not sent";
    EXPECT_TRUE(find_summary(err, "bytes written to 127.0.0.1"));
}

// Standard output that takes nothing while ferrox writes it: a pseudo-terminal that nobody
// reads, or a pipe that another writer fills again as soon as its reader has taken a page.
// Where such a stream can't be opened again without blocking (the portable build), a write
// that poll found room for blocks all the same; Ctrl-C still ends the run within a few
// seconds (a one-way copy has no other way to end), and in a two-way transfer so does
// --timeout. Slow (a label in tests/CMakeLists.txt): in each of five cases a reader takes a
// page now and then for 1.5 s, long enough for a write that poll found room for to block.
TEST(interrupt, a_standard_output_whose_writes_block_can_still_be_ended) {
    enum class output_kind { terminal_nobody_reads, pipe_another_writer_fills };
    struct blocked_case {
        std::string name;
        output_kind out;
        std::vector<std::string> options;
        bool by_timeout;
    };
    const blocked_case cases[] = {
        {"a terminal, -o", output_kind::terminal_nobody_reads, {"-o"}, false},
        {"a terminal, -o -s", output_kind::terminal_nobody_reads, {"-o", "-s"}, false},
        {"a terminal, -i -o -t 1",
         output_kind::terminal_nobody_reads,
         {"-i", "-o", "-t", "1"},
         true},
        {"a pipe, -o", output_kind::pipe_another_writer_fills, {"-o"}, false},
        {"a pipe, -i -o -t 1",
         output_kind::pipe_another_writer_fills,
         {"-i", "-o", "-t", "1"},
         true},
    };
    std::signal(SIGPIPE, SIG_IGN);  // the other writer's pipe loses its reader at the end
    for (const blocked_case& row : cases) {
        SCOPED_TRACE(row.name);
        temp_dir dir;
        const int port = free_tcp_port();
        const int server = listen_tcp(port);
        pseudo_terminal terminal;
        int pipe_ends[2] = {-1, -1};
        spawn_options options;
        options.stdin_pipe = true;  // held open: a two-way transfer doesn't end by its input
        if (row.out == output_kind::terminal_nobody_reads) {
            options.stdout_fd = terminal.slave;
        } else {
            ASSERT_EQ(pipe2(pipe_ends, O_CLOEXEC), 0);
            options.stdout_fd = pipe_ends[1];
        }
        std::vector<std::string> args{"-q", "-h", local_host(port)};
        args.insert(args.end(), row.options.begin(), row.options.end());
        process ferrox = spawn(dir, args, options);
        const int peer = accept_with_deadline(server);
        ASSERT_GE(peer, 0) << ferrox.err();
        std::thread flood([peer] { send_all(peer, random_bytes(8 << 20, 90)); });
        std::atomic<bool> stop_reading{false};
        std::thread other_writer;
        std::thread reader;
        if (row.out == output_kind::pipe_another_writer_fills) {
            other_writer = std::thread([&] {
                const std::string block(1 << 16, 'o');
                while (write(pipe_ends[1], block.data(), block.size()) > 0) {
                }
            });
            // a page now and then, which the other writer and ferrox both want
            reader = std::thread([&] {
                char page[4096];
                while (!stop_reading && read(pipe_ends[0], page, sizeof page) > 0) {
                    std::this_thread::sleep_for(2ms);
                }
            });
        }
        std::this_thread::sleep_for(1500ms);
        stop_reading = true;
        if (reader.joinable()) {
            reader.join();
        }
        std::this_thread::sleep_for(200ms);
        const auto start = std::chrono::steady_clock::now();
        if (!row.by_timeout) {
            ferrox.signal(SIGINT);
        }
        const exit_result result = ferrox.wait(20s);
        const seconds lasted = std::chrono::steady_clock::now() - start;
        shutdown(peer, SHUT_RDWR);
        flood.join();
        close(peer);
        close(server);
        if (other_writer.joinable()) {
            close(pipe_ends[0]);  // the other writer's write fails: it ends
            other_writer.join();
            close(pipe_ends[1]);
        }
        const std::string err = ferrox.err();
        EXPECT_TRUE(result.exited) << "still running: " << err;
        EXPECT_LT(lasted.count(), row.by_timeout ? 8.0 : 5.0) << err;
        EXPECT_NE(err.find(row.by_timeout ? "timeout\n" : "interupted.\n"), std::string::npos)
            << err;
    }
}

// Whether the process is blocked reading a pipe (its wait channel, from /proc).
bool blocked_in_pipe_read(pid_t pid) {
    return read_file("/proc/" + std::to_string(pid) + "/wchan").find("pipe_read") !=
           std::string::npos;
}

// Waits without sleeping: shorter than a sleep can be.
void spin_for(std::chrono::microseconds period) {
    const auto until = std::chrono::steady_clock::now() + period;
    while (std::chrono::steady_clock::now() < until) {
    }
}

// Standard input that the wait calls readable, but whose bytes another reader of the same
// pipe takes first. Where ferrox can't open such a pipe again without blocking (the portable
// build), its read then blocks all the same; Ctrl-C still ends the run within a few seconds,
// and in a two-way transfer so does --timeout.
TEST(interrupt, a_standard_input_whose_reads_block_can_still_be_ended) {
    struct blocked_case {
        std::string name;
        std::vector<std::string> options;
        bool by_timeout;
    };
    const blocked_case cases[] = {
        {"sending, Ctrl-C", {}, false},
        {"two-way, Ctrl-C", {"-i", "-o"}, false},
        {"two-way, -t 1", {"-i", "-o", "-t", "1"}, true},
    };
    for (const blocked_case& row : cases) {
        SCOPED_TRACE(row.name);
        temp_dir dir;
        const int port = free_tcp_port();
        const int server = listen_tcp(port);
        int pipe_ends[2] = {-1, -1};
        ASSERT_EQ(pipe2(pipe_ends, O_CLOEXEC), 0);
        // The other reader: the test, through an open of its own that never blocks.
        const std::string pipe_path = "/proc/self/fd/" + std::to_string(pipe_ends[0]);
        const int other_reader = open(pipe_path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        ASSERT_GE(other_reader, 0);
        spawn_options options;
        options.stdin_fd = pipe_ends[0];
        std::vector<std::string> args{"-q", "-h", local_host(port)};
        args.insert(args.end(), row.options.begin(), row.options.end());
        process ferrox = spawn(dir, args, options);
        const int peer = accept_with_deadline(server);
        ASSERT_GE(peer, 0) << ferrox.err();
        // Each byte wakes ferrox's wait, and the other reader takes it back a moment later,
        // a little later each round, until ferrox's read comes too late (or, where its pipe is
        // read without blocking, for every round).
        for (int round = 0; round < 200 && !blocked_in_pipe_read(ferrox.pid); ++round) {
            ASSERT_EQ(write(pipe_ends[1], "x", 1), 1);
            spin_for(std::chrono::microseconds(round % 8 * 25));
            char taken = 0;
            [[maybe_unused]] const ssize_t n = read(other_reader, &taken, 1);
            std::this_thread::sleep_for(5ms);
        }
        const auto start = std::chrono::steady_clock::now();
        if (!row.by_timeout) {
            ferrox.signal(SIGINT);
        }
        const exit_result result = ferrox.wait(10s);
        const seconds lasted = std::chrono::steady_clock::now() - start;
        close(peer);
        close(server);
        close(other_reader);
        close(pipe_ends[0]);
        close(pipe_ends[1]);
        const std::string err = ferrox.err();
        EXPECT_TRUE(result.exited) << "still running: " << err;
        EXPECT_LT(lasted.count(), row.by_timeout ? 4.0 : 3.0) << err;
        EXPECT_NE(err.find(row.by_timeout ? "timeout\n" : "interupted.\n"), std::string::npos)
            << err;
    }
}

// A transfer that never has to wait: a peer that keeps sending, moved a byte at a time into
// /dev/null, keeps the connection readable and the destination ready on every turn. Ctrl-C
// still ends it at once, whether nothing waits at all (-o) or standard input, held open,
// waits beside it (-i -o). The peer sends until the test ends, so a run that doesn't notice
// the signal goes on until the deadline.
TEST(interrupt, ends_a_transfer_that_never_waits) {
    struct busy_case {
        std::string name;
        std::vector<std::string> options;
    };
    const busy_case cases[] = {
        {"receiving, nothing waits", {"-o"}},
        {"two-way, standard input waits", {"-i", "-o"}},
    };
    for (const busy_case& row : cases) {
        SCOPED_TRACE(row.name);
        temp_dir dir;
        const int port = free_tcp_port();
        const int server = listen_tcp(port);
        const int null_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
        ASSERT_GE(null_fd, 0);
        spawn_options options;
        options.stdin_pipe = true;
        options.stdout_fd = null_fd;
        std::vector<std::string> args{"-q", "-b", "1", "-h", local_host(port)};
        args.insert(args.end(), row.options.begin(), row.options.end());
        process ferrox = spawn(dir, args, options);
        close(null_fd);
        const int peer = accept_with_deadline(server);
        ASSERT_GE(peer, 0) << ferrox.err();
        std::thread flood([peer] {
            const std::string block(1 << 16, 'f');
            while (send(peer, block.data(), block.size(), MSG_NOSIGNAL) > 0) {
            }
        });
        std::this_thread::sleep_for(500ms);  // the connection's queue is full by now
        ferrox.signal(SIGINT);
        const exit_result result = ferrox.wait(10s);
        shutdown(peer, SHUT_RDWR);  // the flood's send fails: it ends
        flood.join();
        close(peer);
        close(server);
        const std::string err = ferrox.err();
        EXPECT_TRUE(result.exited) << "still running at the deadline: " << err;
        EXPECT_EQ(result.status, 0) << err;
        EXPECT_NE(err.find("interupted.\n"), std::string::npos) << err;
    }
}

// Counts the connections a listening socket gets within `period`, accepting each.
int connections_within(int server, seconds period) {
    const auto deadline = std::chrono::steady_clock::now() + period;
    int count = 0;
    for (;;) {
        const seconds left = deadline - std::chrono::steady_clock::now();
        const int fd = left.count() > 0 ? accept_with_deadline(server, left) : -1;
        if (fd < 0) {
            return count;
        }
        close(fd);
        ++count;
    }
}

// A --continue client starts no new cycle after Ctrl-C (it used to reconnect at once and
// send nothing, thousands of times a second), nor once its standard input, a pipe, has
// ended; with file operands it goes on to the next cycle as before.
TEST(interrupt, a_continuing_client_stops_after_ctrl_c_or_the_end_of_its_input) {
    temp_dir dir;
    const int port = free_tcp_port();
    const int server = listen_tcp(port);
    spawn_options options;
    options.stdin_pipe = true;
    process interrupted = spawn(dir, {"-c", "-h", local_host(port)}, options);
    const int first = accept_with_deadline(server);
    ASSERT_GE(first, 0);
    ASSERT_TRUE(interrupted.wait_for_err("connected to"));
    interrupted.signal(SIGINT);
    EXPECT_EQ(receive_all(first, 10s), "");
    close(first);
    const exit_result after_ctrl_c = interrupted.wait(10s);
    EXPECT_TRUE(after_ctrl_c.exited && after_ctrl_c.status == 0) << interrupted.err();
    EXPECT_EQ(connections_within(server, 500ms), 0);

    process ended = spawn(dir, {"-c", "-h", local_host(port)}, options);
    ended.close_stdin();
    EXPECT_EQ(connections_within(server, 1s), 1);
    const exit_result after_end = ended.wait(10s);
    EXPECT_TRUE(after_end.exited && after_end.status == 0) << ended.err();
    close(server);
}

}  // namespace

namespace {

// Every exit after the terminal was switched gives it back: fatal ones (a refused
// connection, an unresolvable host, a socket path that can't be used) and SIGTERM or SIGHUP,
// which still end the process by that signal. A UNIX-domain listening socket file goes too.
TEST(nobuf, every_exit_gives_the_terminal_back) {
    temp_dir dir;
    const int closed_port = free_tcp_port();
    const std::vector<std::pair<std::vector<std::string>, int>> fatal = {
        {{"-n", "-i", "-o", "-h", local_host(closed_port)}, 1},
        {{"-n", "-i", "-o", "-h", "name.invalid:9"}, 2},
        {{"-n", "-i", "-o", "-u", dir.file("missing/sock")}, 1},
    };
    for (const auto& [args, status] : fatal) {
        pseudo_terminal terminal;
        process client = spawn(dir, args, terminal.as_stdin());
        const exit_result result = client.wait(20s);
        EXPECT_EQ(result.status, status) << client.err();
        EXPECT_TRUE(terminal.canonical()) << args[4];
    }
    for (const int signal_number : {SIGTERM, SIGHUP}) {
        pseudo_terminal terminal;
        const std::string path = dir.file("sock" + std::to_string(signal_number));
        process listener = spawn(dir, {"-n", "-i", "-o", "-U", path}, terminal.as_stdin());
        ASSERT_TRUE(listener.wait_for_err("listening on"));
        ASSERT_TRUE(wait_until([&] { return !terminal.canonical(); }));
        listener.signal(signal_number);
        const exit_result result = listener.wait(20s);
        EXPECT_FALSE(result.exited);
        EXPECT_EQ(result.signal, signal_number);
        EXPECT_TRUE(terminal.canonical()) << strsignal(signal_number);
        EXPECT_NE(access(path.c_str(), F_OK), 0) << "the socket file is left behind";
    }
}

}  // namespace
