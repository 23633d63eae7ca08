// SPDX-License-Identifier: BSD-2-Clause
// Signals as a shell user sends them: inherited as ignored (nohup, a background job of a
// script), a pipe reader that goes away, and Ctrl-Z and fg under a job-control shell.
#include "harness.hpp"

#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
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
                    EXPECT_TRUE(
                        ends_with(listener.err(), "interupted.\naccept: " + error_text(EBADF) +
                                                      "\nerror accepting connections\n"))
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
            EXPECT_NE(listener.err().find("write: " + error_text(EPIPE) + "\n"), std::string::npos)
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

// A job-control shell of the test's own, as an interactive shell runs a foreground job. It
// leads a session on the pseudo-terminal, starts ferrox in a process group of its own and
// gives that group the terminal's foreground, so a Ctrl-Z typed on the terminal stops
// ferrox (a process group that leads its own session has no parent to continue it, and
// Linux discards the stop). It takes the terminal back whenever ferrox stops, and like bash
// (unlike dash) it may also put back its own terminal modes then; it brings ferrox back
// with fg when the test says so, and reports each stop, continuation and end.
class job_shell {
  public:
    struct report {
        char kind = 0;  // 'S' stopped, 'C' continued, 'X' ended; 0: none before the deadline
        int value = 0;  // the stop signal, or the wait status
    };

    job_shell(const temp_dir& dir, int terminal, bool resets_modes,
              const std::vector<std::string>& args)
        : out_path(dir.file("job-stdout")), err_path(dir.file("job-stderr")) {
        int commands[2];
        int reports[2];
        if (pipe2(commands, O_CLOEXEC) != 0 || pipe2(reports, O_CLOEXEC) != 0) {
            throw std::runtime_error("pipe2 failed");
        }
        std::vector<std::string> words{FERROX_BINARY};
        words.insert(words.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& word : words) {
            argv.push_back(word.data());
        }
        argv.push_back(nullptr);
        shell_pid = fork();
        if (shell_pid < 0) {
            throw std::runtime_error("fork failed");
        }
        if (shell_pid == 0) {
            close(commands[1]);
            close(reports[0]);
            run_shell(terminal, resets_modes, commands[0], reports[1], argv.data());
        }
        close(commands[0]);
        close(reports[1]);
        command_fd = commands[1];
        report_fd = reports[0];
        const report started = next(10s);
        job_pid = started.kind == 'P' ? started.value : -1;
    }

    ~job_shell() {
        if (job_pid > 0 && !ended) {
            kill(job_pid, SIGKILL);
        }
        close(command_fd);  // the shell ends when its command pipe closes
        close(report_fd);
        for (int tries = 0; tries < 200 && waitpid(shell_pid, nullptr, WNOHANG) == 0; ++tries) {
            std::this_thread::sleep_for(10ms);
        }
        if (waitpid(shell_pid, nullptr, WNOHANG) == 0) {
            kill(shell_pid, SIGKILL);
            waitpid(shell_pid, nullptr, 0);
        }
    }
    job_shell(const job_shell&) = delete;
    job_shell& operator=(const job_shell&) = delete;

    // The shell's next report, waited for at most `limit`.
    report next(seconds limit = 20s) {
        pollfd watched{report_fd, POLLIN, 0};
        const int ms =
            static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(limit).count());
        report got;
        if (poll(&watched, 1, ms) == 1 && read(report_fd, &got, sizeof got) == sizeof got) {
            ended = ended || got.kind == 'X';
            return got;
        }
        return {};
    }

    // fg: the job gets the terminal's foreground and SIGCONT.
    void foreground() const {
        EXPECT_EQ(write(command_fd, "f", 1), 1);
    }

    [[nodiscard]] std::string out() const {
        return read_file(out_path);
    }
    [[nodiscard]] std::string err() const {
        return read_file(err_path);
    }

    pid_t job_pid = -1;

  private:
    [[noreturn]] void run_shell(int terminal, bool resets_modes, int commands, int reports,
                                char** argv) const {
        auto tell = [reports](char kind, int value) {
            const report record{kind, value};
            [[maybe_unused]] auto written = write(reports, &record, sizeof record);
        };
        setsid();
        termios own_modes{};
        if (ioctl(terminal, TIOCSCTTY, 0) != 0 || tcgetattr(terminal, &own_modes) != 0) {
            _exit(127);
        }
        // as an interactive shell: the terminal's signals are for its jobs, not for it
        for (const int number : {SIGTTOU, SIGTTIN, SIGTSTP, SIGINT, SIGQUIT}) {
            signal(number, SIG_IGN);
        }
        const pid_t job = fork();
        if (job == 0) {
            setpgid(0, 0);
            tcsetpgrp(terminal, getpid());
            for (const int number : {SIGTTOU, SIGTTIN, SIGTSTP, SIGINT, SIGQUIT, SIGPIPE}) {
                signal(number, SIG_DFL);
            }
            const int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(terminal, 0);
            dup2(out, 1);
            dup2(err, 2);
            execv(argv[0], argv);
            _exit(127);
        }
        setpgid(job, job);
        tcsetpgrp(terminal, job);
        tell('P', job);
        for (;;) {
            pollfd watched{commands, POLLIN, 0};
            if (poll(&watched, 1, 5) == 1) {
                char command = 0;
                if (read(commands, &command, 1) != 1) {
                    kill(job, SIGKILL);
                    waitpid(job, nullptr, 0);
                    _exit(0);
                }
                tcsetpgrp(terminal, job);
                kill(-job, SIGCONT);
            }
            int status = 0;
            if (waitpid(job, &status, WNOHANG | WUNTRACED | WCONTINUED) != job) {
                continue;
            }
            if (WIFSTOPPED(status)) {
                tcsetpgrp(terminal, getpgrp());
                if (resets_modes) {
                    tcsetattr(terminal, TCSANOW, &own_modes);
                }
                tell('S', WSTOPSIG(status));
            } else if (WIFCONTINUED(status)) {
                tell('C', 0);
            } else {
                tell('X', status);
                _exit(0);
            }
        }
    }

    std::string out_path;
    std::string err_path;
    pid_t shell_pid = -1;
    int command_fd = -1;
    int report_fd = -1;
    bool ended = false;
};

bool canonical(int terminal) {
    termios attributes{};
    tcgetattr(terminal, &attributes);
    return (attributes.c_lflag & ICANON) != 0;
}

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

// Ctrl-Z while a --nobuf two-way listener waits for its peer, and again and again during the
// transfer: stopped, the terminal has its line mode (for the shell); after fg, keystrokes
// pass at once again, whether or not the shell put back its own modes meanwhile, and every
// byte of both directions arrives.
void stop_and_continue_a_nobuf_transfer(bool shell_resets_modes) {
    temp_dir dir;
    int master = -1;
    int slave = -1;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    const int port = free_tcp_port();
    job_shell shell(dir, slave, shell_resets_modes, {"-n", "-i", "-o", "-l", port_text(port)});
    ASSERT_GT(shell.job_pid, 0);
    ASSERT_TRUE(wait_until([&] { return shell.err().find("listening on") != std::string::npos; }))
        << shell.err();
    ASSERT_TRUE(wait_until([&] { return !canonical(slave); }));

    // Stops while it waits for its peer, then during the transfer.
    auto stop_and_continue = [&](const std::function<void()>& while_stopped) {
        ASSERT_EQ(write(master, "\x1a", 1), 1);  // Ctrl-Z
        const job_shell::report stopped = shell.next();
        ASSERT_EQ(stopped.kind, 'S') << shell.err();
        EXPECT_EQ(stopped.value, SIGTSTP);
        EXPECT_TRUE(canonical(slave)) << "stopped, the terminal has its line mode back";
        while_stopped();
        shell.foreground();
        ASSERT_EQ(shell.next().kind, 'C');
        EXPECT_TRUE(wait_until([&] { return !canonical(slave); })) << "fg switches it again";
    };
    for (int round = 0; round < 3; ++round) {
        stop_and_continue([] {});
    }
    const int peer = connect_tcp(port);
    ASSERT_GE(peer, 0);
    std::string sent;
    std::string typed;
    for (int round = 0; round < 3; ++round) {
        const std::string running = random_bytes(256 << 10, 40 + round);
        send_all(peer, running);
        sent += running;
        stop_and_continue([&] {
            // little enough for the socket buffers to hold while ferrox is stopped
            const std::string stopped = random_bytes(16 << 10, 50 + round);
            send_all(peer, stopped);
            sent += stopped;
        });
        const std::string keys = "k" + std::to_string(round);
        ASSERT_EQ(write(master, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
        EXPECT_EQ(receive_exactly(peer, keys.size(), 10s), keys) << "without a line end";
        typed += keys;
    }
    EXPECT_TRUE(wait_until([&] { return shell.out().size() >= sent.size(); }, 20s));
    close(peer);
    const job_shell::report end = shell.next();
    ASSERT_EQ(end.kind, 'X') << shell.err();
    EXPECT_TRUE(WIFEXITED(end.value) && WEXITSTATUS(end.value) == 0) << shell.err();
    EXPECT_TRUE(shell.out() == sent) << shell.out().size() << " of " << sent.size() << " bytes";
    const auto summary = find_summary(shell.err(), "bytes transfered in");
    ASSERT_TRUE(summary) << shell.err();
    EXPECT_EQ(summary->bytes, static_cast<long>(sent.size() + typed.size()));
    EXPECT_TRUE(canonical(slave));
    close(master);
    close(slave);
}

TEST(job_control, ctrl_z_gives_the_terminal_line_mode_and_fg_takes_it_again) {
    {
        SCOPED_TRACE("a shell that leaves the terminal's modes, as dash");
        stop_and_continue_a_nobuf_transfer(false);
    }
    {
        SCOPED_TRACE("a shell that puts back its own modes, as bash");
        stop_and_continue_a_nobuf_transfer(true);
    }
}

// Without a job-control shell (ferrox leads its own session on the terminal) nothing could
// continue a stopped ferrox, and the system discards the stop: --nobuf stays in force.
TEST(job_control, a_ctrl_z_that_cant_stop_the_run_leaves_the_terminal_switched) {
    temp_dir dir;
    int master = -1;
    int slave = -1;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    const int port = free_tcp_port();
    const int server = listen_tcp(port);
    spawn_options options;
    options.stdin_fd = slave;
    options.controlling_tty = true;
    process client = spawn(dir, {"-n", "-i", "-o", "-h", local_host(port)}, options);
    const int fd = accept_with_deadline(server);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(wait_until([&] { return !canonical(slave); }));
    ASSERT_EQ(write(master, "\x1a", 1), 1);
    ASSERT_TRUE(delivered(client.pid, SIGTSTP));
    EXPECT_TRUE(wait_until([&] { return !canonical(slave); }));
    ASSERT_EQ(write(master, "z", 1), 1);
    EXPECT_EQ(receive_exactly(fd, 1, 10s), "z");
    close(fd);
    EXPECT_EQ(client.wait(20s).status, 0) << client.err();
    EXPECT_TRUE(canonical(slave));
    close(server);
    close(master);
    close(slave);
}

// Whether the process sleeps in a call (state S), its handler for `number` installed.
bool sleeping_with_handler(pid_t pid, int number) {
    const std::string status = read_file("/proc/" + std::to_string(pid) + "/status");
    return status.find("\nState:\tS") != std::string::npos &&
           in_mask(signal_mask(pid, "SigCgt"), number);
}

// Reads what a FIFO holds, without waiting for more.
std::string drain_fifo(int fd) {
    std::string got;
    char block[4096];
    for (ssize_t n = 0; (n = read(fd, block, sizeof block)) > 0;) {
        got.append(block, static_cast<std::size_t>(n));
    }
    return got;
}

// An echo log that is a FIFO nobody reads yet: its open waits for a reader, as a shell's
// redirection or tee does. Ctrl-C and Ctrl-\ end that wait with the log's path and the
// interrupted call, status 1; SIGTERM and SIGHUP end the process by that signal, as at any
// other time; a reader that comes lets the run go on, and the log gets its records.
TEST(echo_log_fifo, the_wait_for_a_reader_ends_by_a_signal_or_by_a_reader) {
    constexpr int a_reader_comes = 0;
    for (const int number : {SIGINT, SIGQUIT, SIGTERM, SIGHUP, a_reader_comes}) {
        SCOPED_TRACE(number == a_reader_comes ? "a reader comes" : strsignal(number));
        temp_dir dir;
        const std::string log = dir.file("log");
        ASSERT_EQ(mkfifo(log.c_str(), 0600), 0);
        const int port = free_tcp_port();
        process listener = spawn(dir, {"-e", log, "-l", port_text(port)});
        ASSERT_TRUE(wait_until([&] {
            return sleeping_with_handler(listener.pid, number == a_reader_comes ? SIGINT : number);
        })) << listener.err();
        if (number == a_reader_comes) {
            const int reader = open(log.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
            ASSERT_GE(reader, 0);
            ASSERT_TRUE(listener.wait_for_err("listening on")) << listener.err();
            const int peer = connect_tcp(port);
            ASSERT_GE(peer, 0);
            send_all(peer, "hello");
            shutdown(peer, SHUT_WR);
            EXPECT_EQ(receive_all(peer, 10s), "");
            close(peer);
            const exit_result result = listener.wait(10s);
            EXPECT_TRUE(result.exited && result.status == 0) << listener.err();
            EXPECT_EQ(listener.out(), "hello");
            const std::string logged = drain_fifo(reader);
            close(reader);
            EXPECT_EQ(logged.rfind("=============\nconnection from 127.0.0.1 on port ", 0), 0U)
                << logged;
            EXPECT_TRUE(ends_with(logged, "H: hello")) << logged;
            continue;
        }
        listener.signal(number);
        const exit_result result = listener.wait(5s);
        if (number == SIGINT || number == SIGQUIT) {
            EXPECT_TRUE(result.exited && result.status == 1) << listener.err();
            EXPECT_EQ(listener.err(), "interupted.\n" + log + ": " + error_text(EINTR) + "\n");
        } else {
            EXPECT_FALSE(result.exited);
            EXPECT_EQ(result.signal, number);
        }
    }
}

spawn_options interrupting(const std::string& calls) {
    spawn_options options;
    options.environment = {std::string("LD_PRELOAD=") + FERROX_FAIL_CALLS,
                           "FERROX_TEST_FAIL=" + calls,
                           // a sanitizer runtime must otherwise come first among the libraries
                           "ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=0"};
    return options;
}

// A signal that doesn't end the run (the SIGCONT after Ctrl-Z and fg) interrupts the wait for
// a peer or for a connection: the listener goes on waiting and the connection goes on, over
// TCP and socket files alike, and every byte arrives.
TEST(interrupted_calls, an_interrupted_accept_or_connect_goes_on) {
    if (cannot_preload()) {
        return;
    }
    for (const bool unix_domain : {false, true}) {
        SCOPED_TRACE(unix_domain ? "UNIX-domain" : "TCP");
        temp_dir dir;
        const std::string path = dir.file("sock");
        const int port = free_tcp_port();
        const std::string data = random_bytes(300000, unix_domain ? 61 : 62);

        process listener =
            start_listener(dir,
                           unix_domain ? std::vector<std::string>{"-U", path}
                                       : std::vector<std::string>{"-l", port_text(port)},
                           interrupting("eintr_accept"));
        const int client = unix_domain ? connect_unix(path) : connect_tcp(port);
        ASSERT_GE(client, 0);
        send_all(client, data);
        close(client);
        EXPECT_EQ(listener.wait(20s).status, 0) << listener.err();
        EXPECT_EQ(listener.err().find("accept"), std::string::npos) << listener.err();
        EXPECT_TRUE(listener.out() == data) << listener.out().size() << " bytes arrived";

        const int server = unix_domain ? listen_unix(path + "2") : listen_tcp(port);
        spawn_options options = interrupting("eintr_connect");
        options.stdin_data = data;
        process sender = spawn(dir,
                               unix_domain ? std::vector<std::string>{"-u", path + "2"}
                                           : std::vector<std::string>{"-h", local_host(port)},
                               options);
        const int fd = accept_with_deadline(server);
        ASSERT_GE(fd, 0) << sender.err();
        EXPECT_TRUE(receive_all(fd, 20s) == data);
        close(fd);
        close(server);
        EXPECT_EQ(sender.wait(20s).status, 0) << sender.err();
        EXPECT_EQ(sender.err().find("connect:"), std::string::npos) << sender.err();
    }
}

}  // namespace
