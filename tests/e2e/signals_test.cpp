// Signals as a shell user sends them: inherited as ignored (nohup, a background job of a
// script), a pipe reader that goes away, and Ctrl-Z and fg under a job-control shell.
#include "harness.hpp"

#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace e2e;

// The signal mask that /proc shows for the process under `field` ("SigIgn", "SigPnd", ...).
std::uint64_t signal_mask(pid_t pid, const std::string& field) {
    const std::string status = read_file("/proc/" + std::to_string(pid) + "/status");
    const auto at = status.find("\n" + field + ":");
    if (at == std::string::npos) {
        return 0;
    }
    return std::stoull(status.substr(at + field.size() + 2, 24), nullptr, 16);
}

bool in_mask(std::uint64_t mask, int number) {
    return (mask >> (number - 1) & 1U) != 0;
}

// Waits until a signal sent to the process is no longer pending: handled, ignored or acted on.
bool delivered(pid_t pid, int number) {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (std::chrono::steady_clock::now() < deadline) {
        if (!in_mask(signal_mask(pid, "SigPnd") | signal_mask(pid, "ShdPnd"), number)) {
            return true;
        }
        std::this_thread::sleep_for(5ms);
    }
    return false;
}

bool ends_with(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// A listener waiting for its peer gets the signal. Inherited as ignored (nohup ignores
// SIGHUP; a shell ignores SIGINT and SIGQUIT for a background list) it goes on, serves the
// peer that comes next and ends normally; with the default action it ends as it always has.
TEST(inherited_signals, an_ignored_signal_stays_ignored_and_a_default_one_acts_as_before) {
    for (const int number : {SIGINT, SIGQUIT, SIGTERM, SIGHUP}) {
        for (const bool ignored : {true, false}) {
            SCOPED_TRACE(std::string(strsignal(number)) + (ignored ? ", ignored" : ", default"));
            temp_dir dir;
            const int port = free_tcp_port();
            spawn_options options;
            if (ignored) {
                options.ignored_signals = {number};
            }
            process listener = start_listener(dir, {"-l", port_text(port)}, options);
            EXPECT_EQ(in_mask(signal_mask(listener.pid, "SigIgn"), number), ignored);
            listener.signal(number);
            if (!ignored) {
                const exit_result result = listener.wait(20s);
                if (number == SIGINT || number == SIGQUIT) {
                    EXPECT_TRUE(result.exited && result.status == 1);
                    EXPECT_TRUE(ends_with(listener.err(), "interupted.\naccept: Bad file "
                                                          "descriptor\nerror accepting "
                                                          "connections\n"))
                        << listener.err();
                } else {
                    EXPECT_FALSE(result.exited);
                    EXPECT_EQ(result.signal, number);
                }
                continue;
            }
            ASSERT_TRUE(delivered(listener.pid, number));
            const std::string data = random_bytes(100000, static_cast<std::uint32_t>(number));
            const int fd = connect_tcp(port);
            ASSERT_GE(fd, 0);
            send_all(fd, data);
            close(fd);
            const exit_result result = listener.wait(20s);
            EXPECT_TRUE(result.exited && result.status == 0) << listener.err();
            EXPECT_TRUE(listener.out() == data) << listener.out().size() << " bytes arrived";
            EXPECT_EQ(listener.err().find("interupted."), std::string::npos) << listener.err();
        }
    }
}

// A UNIX-domain listener with --nobuf receives into a pipe whose reader has gone. SIGPIPE
// still ends it (status 141 in a shell), but the socket file and the terminal are tidied
// first, so the next listener can bind. Ignored, SIGPIPE leaves the failed write to be
// reported, with status 1, and the end of run tidies.
TEST(vanished_pipe_reader, sigpipe_ends_a_listener_after_tidying_its_socket_file_and_terminal) {
    for (const bool ignored : {false, true}) {
        SCOPED_TRACE(ignored ? "SIGPIPE ignored" : "SIGPIPE default");
        temp_dir dir;
        const std::string path = dir.file("sock");
        int master = -1;
        int slave = -1;
        ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
        int pipe_fds[2];
        ASSERT_EQ(pipe2(pipe_fds, O_CLOEXEC), 0);
        spawn_options options;
        options.stdin_fd = slave;
        options.controlling_tty = true;
        options.stdout_fd = pipe_fds[1];
        if (ignored) {
            options.ignored_signals = {SIGPIPE};
        }
        process listener = start_listener(dir, {"-n", "-U", path}, options);
        close(pipe_fds[1]);
        close(pipe_fds[0]);
        termios during{};
        tcgetattr(slave, &during);
        EXPECT_EQ(during.c_lflag & ICANON, 0U) << "the terminal was switched";
        const int fd = connect_unix(path);
        ASSERT_GE(fd, 0);
        send_all(fd, std::string(100000, 'p'));
        const exit_result result = listener.wait(20s);
        close(fd);
        if (ignored) {
            EXPECT_TRUE(result.exited && result.status == 1);
            EXPECT_NE(listener.err().find("write: Broken pipe\n"), std::string::npos)
                << listener.err();
        } else {
            EXPECT_FALSE(result.exited);
            EXPECT_EQ(result.signal, SIGPIPE);
        }
        EXPECT_NE(access(path.c_str(), F_OK), 0) << "the socket file is left behind";
        termios after{};
        tcgetattr(slave, &after);
        EXPECT_NE(after.c_lflag & ICANON, 0U) << "the terminal is left without line mode";
        close(master);
        close(slave);
    }
}

}  // namespace
