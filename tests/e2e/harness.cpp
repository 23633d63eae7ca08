// SPDX-License-Identifier: BSD-2-Clause
#include "harness.hpp"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sstream>
#include <stdexcept>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <zlib.h>

namespace e2e {

namespace {

using clock = std::chrono::steady_clock;

void check(bool ok, const char* what) {
    if (!ok) {
        throw std::runtime_error(std::string(what) + ": " + std::strerror(errno));
    }
}

[[noreturn]] void child_fail(const char* what) {
    std::perror(what);
    _exit(127);
}

void redirect(int from, int to) {
    if (from != to && dup2(from, to) < 0) {
        child_fail("dup2");
    }
}

}  // namespace

temp_dir::temp_dir() {
    char pattern[] = "/tmp/ferrox-test-XXXXXX";
    check(mkdtemp(pattern) != nullptr, "mkdtemp");
    path = pattern;
}

temp_dir::~temp_dir() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

void write_file(const std::string& path, const std::string& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
}

// splitmix64, eight bytes a step: quick even unoptimised and under the sanitizers (a byte per
// step of mt19937 took 5 s for the 64 MiB of a test in the debug build).
std::string random_bytes(std::size_t count, std::uint32_t seed) {
    std::uint64_t state = seed;
    std::string data(count, '\0');
    for (std::size_t at = 0; at < count; at += sizeof state) {
        state += 0x9e3779b97f4a7c15;
        std::uint64_t word = state;
        word = (word ^ (word >> 30)) * 0xbf58476d1ce4e5b9;
        word = (word ^ (word >> 27)) * 0x94d049bb133111eb;
        word ^= word >> 31;
        std::memcpy(data.data() + at, &word, std::min(sizeof word, count - at));
    }
    return data;
}

unsigned long zlib_adler32(const std::string& data) {
    return adler32(adler32(0, nullptr, 0), reinterpret_cast<const Bytef*>(data.data()),
                   static_cast<uInt>(data.size()));
}

std::size_t count_of(const std::string& text, const std::string& what) {
    std::size_t count = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++count;
    }
    return count;
}

std::string process::out() const {
    return read_file(out_path);
}

std::string process::err() const {
    return read_file(err_path);
}

void process::close_stdin() {
    if (stdin_write >= 0) {
        close(stdin_write);
        stdin_write = -1;
    }
}

void process::signal(int number) const {
    if (pid > 0) {
        kill(pid, number);
    }
}

exit_result process::wait(seconds limit) {
    exit_result result;
    if (pid <= 0) {
        return result;
    }
    const auto deadline = clock::now() + limit;
    int status = 0;
    for (;;) {
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) {
            break;
        }
        if (clock::now() > deadline) {
            result.timed_out = true;
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            break;
        }
        std::this_thread::sleep_for(5ms);
    }
    pid = -1;
    close_stdin();
    if (WIFEXITED(status)) {
        result.exited = true;
        result.status = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.signal = WTERMSIG(status);
    }
    return result;
}

bool process::wait_for_err(const std::string& text, seconds limit) const {
    const auto deadline = clock::now() + limit;
    while (clock::now() < deadline) {
        if (err().find(text) != std::string::npos) {
            return true;
        }
        siginfo_t info{};
        if (pid > 0 &&
            waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
            info.si_pid == pid) {
            // The process has ended: look once more, then give up.
            return err().find(text) != std::string::npos;
        }
        std::this_thread::sleep_for(5ms);
    }
    return false;
}

bool process::ended_within(seconds limit) const {
    const auto deadline = clock::now() + limit;
    for (;;) {
        siginfo_t info{};
        if (pid > 0 &&
            waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
            info.si_pid == pid) {
            return true;
        }
        if (pid <= 0 || clock::now() >= deadline) {
            return pid <= 0;
        }
        std::this_thread::sleep_for(5ms);
    }
}

process::~process() {
    if (pid > 0) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    close_stdin();
}

process spawn(const temp_dir& dir, const std::vector<std::string>& args,
              const spawn_options& options) {
    static int serial = 0;
    process child;
    const std::string tag = std::to_string(getpid()) + "-" + std::to_string(++serial);
    child.out_path = dir.file("stdout-" + tag);
    child.err_path = dir.file("stderr-" + tag);
    std::string stdin_path = "/dev/null";
    if (options.stdin_data) {
        stdin_path = dir.file("stdin-" + tag);
        write_file(stdin_path, *options.stdin_data);
    }
    int stdin_pipe[2] = {-1, -1};
    if (options.stdin_pipe) {
        check(pipe2(stdin_pipe, O_CLOEXEC) == 0, "pipe");
    }
    std::vector<std::string> argv_text{options.argv0.empty() ? options.program : options.argv0};
    argv_text.insert(argv_text.end(), args.begin(), args.end());
    // FERROX_TEST_WRAPPER runs ferrox under another program, valgrind for instance. The
    // argument 0 that the test meant for ferrox goes in FERROX_TEST_ARGV0, for a wrapper that
    // can set it (scripts/lib/run_instead.sh).
    std::string program = options.program;
    std::string wrapped_argv0;
    const char* wrapper = std::getenv("FERROX_TEST_WRAPPER");
    if (wrapper != nullptr && *wrapper != '\0' && options.program == FERROX_BINARY) {
        wrapped_argv0 = "FERROX_TEST_ARGV0=" + argv_text.front();
        std::istringstream words(wrapper);
        std::vector<std::string> prefix{std::istream_iterator<std::string>(words), {}};
        argv_text.front() = options.program;
        argv_text.insert(argv_text.begin(), prefix.begin(), prefix.end());
        program = prefix.front();
    }
    std::vector<char*> argv;
    for (auto& word : argv_text) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);

    const pid_t pid = fork();
    check(pid >= 0, "fork");
    if (pid == 0) {
        if (options.controlling_tty) {
            setsid();
        } else {
            setpgid(0, 0);
        }
        int in = options.stdin_fd;
        if (options.stdin_pipe) {
            in = stdin_pipe[0];
        } else if (in < 0) {
            in = open(stdin_path.c_str(), O_RDONLY);
        }
        const int out = options.stdout_fd >= 0
                            ? options.stdout_fd
                            : open(child.out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = open(child.err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (in < 0 || out < 0 || err < 0) {
            child_fail("open");
        }
        redirect(in, 0);
        redirect(out, 1);
        redirect(err, 2);
        if (options.controlling_tty && ioctl(0, TIOCSCTTY, 0) != 0) {
            child_fail("TIOCSCTTY");
        }
        const int null_fd = open("/dev/null", O_RDWR);
        if (!options.extra_open_fds.empty()) {
            rlimit limit{};
            getrlimit(RLIMIT_NOFILE, &limit);
            limit.rlim_cur = limit.rlim_max;
            setrlimit(RLIMIT_NOFILE, &limit);
        }
        for (int fd : options.extra_open_fds) {
            redirect(null_fd, fd);
        }
        for (const auto& entry : options.environment) {
            putenv(const_cast<char*>(entry.c_str()));
        }
        if (!wrapped_argv0.empty()) {
            putenv(wrapped_argv0.data());
        }
        if (options.close_stdin) {
            close(0);
        }
        if (options.close_stdout) {
            close(1);
        }
        if (options.address_space_limit != 0) {
            const rlimit limit{static_cast<rlim_t>(options.address_space_limit),
                               static_cast<rlim_t>(options.address_space_limit)};
            setrlimit(RLIMIT_AS, &limit);
        }
        if (options.file_size_limit != 0) {
            const rlimit limit{static_cast<rlim_t>(options.file_size_limit),
                               static_cast<rlim_t>(options.file_size_limit)};
            setrlimit(RLIMIT_FSIZE, &limit);
        }
        if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) {
            child_fail("chdir");
        }
        signal(SIGPIPE, SIG_DFL);
        signal(SIGINT, SIG_DFL);
        signal(SIGQUIT, SIG_DFL);
        signal(SIGXFSZ, SIG_DFL);
        for (const int number : options.ignored_signals) {
            signal(number, SIG_IGN);
        }
        execvp(program.c_str(), argv.data());
        child_fail("execv");
    }
    child.pid = pid;
    if (options.stdin_pipe) {
        close(stdin_pipe[0]);
        child.stdin_write = stdin_pipe[1];
    }
    return child;
}

run_result run(const temp_dir& dir, const std::vector<std::string>& args,
               const std::string& stdin_data, seconds limit) {
    spawn_options options;
    options.stdin_data = stdin_data;
    process child = spawn(dir, args, options);
    run_result result;
    result.exit = child.wait(limit);
    result.out = child.out();
    result.err = child.err();
    return result;
}

int free_tcp_port() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    check(fd >= 0, "socket");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    check(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0, "bind");
    socklen_t length = sizeof address;
    check(getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0, "getsockname");
    close(fd);
    return ntohs(address.sin_port);
}

int connect_tcp(int port, seconds limit) {
    const auto deadline = clock::now() + limit;
    for (;;) {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        check(fd >= 0, "socket");
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(static_cast<std::uint16_t>(port));
        if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
            return fd;
        }
        close(fd);
        if (clock::now() > deadline) {
            return -1;
        }
        std::this_thread::sleep_for(10ms);
    }
}

int listen_tcp(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    check(fd >= 0, "socket");
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    check(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0, "bind");
    check(listen(fd, 16) == 0, "listen");
    return fd;
}

namespace {

sockaddr_in6 ipv6_loopback(int port) {
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_addr = in6addr_loopback;
    address.sin6_port = htons(static_cast<std::uint16_t>(port));
    return address;
}

int port_of(const sockaddr_storage& address) {
    if (address.ss_family == AF_INET6) {
        return ntohs(reinterpret_cast<const sockaddr_in6&>(address).sin6_port);
    }
    return ntohs(reinterpret_cast<const sockaddr_in&>(address).sin_port);
}

}  // namespace

int connect_ipv6(int port, seconds limit) {
    const auto deadline = clock::now() + limit;
    for (;;) {
        const int fd = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
        check(fd >= 0, "socket");
        const sockaddr_in6 address = ipv6_loopback(port);
        if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
            return fd;
        }
        close(fd);
        if (clock::now() > deadline) {
            return -1;
        }
        std::this_thread::sleep_for(10ms);
    }
}

int listen_ipv6(int port) {
    const int fd = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    check(fd >= 0, "socket");
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    const sockaddr_in6 address = ipv6_loopback(port);
    check(bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0, "bind");
    check(listen(fd, 16) == 0, "listen");
    return fd;
}

bool ipv6_loopback_available() {
    const int fd = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    const sockaddr_in6 address = ipv6_loopback(0);
    const bool bound = bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return bound;
}

int free_dual_stack_port() {
    const int fd = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    check(fd >= 0, "socket");
    const int off = 0;
    check(setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off) == 0, "IPV6_V6ONLY");
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_addr = in6addr_any;
    check(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0, "bind");
    socklen_t length = sizeof address;
    check(getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0, "getsockname");
    close(fd);
    return ntohs(address.sin6_port);
}

int local_port(int fd) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    return port_of(address);
}

int peer_port(int fd) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    getpeername(fd, reinterpret_cast<sockaddr*>(&address), &length);
    return port_of(address);
}

int accept_with_deadline(int listening_fd, seconds limit) {
    pollfd watch{listening_fd, POLLIN, 0};
    const int ms =
        static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(limit).count());
    if (poll(&watch, 1, ms) != 1) {
        return -1;
    }
    return accept4(listening_fd, nullptr, nullptr, SOCK_CLOEXEC);
}

int connect_unix(const std::string& path, seconds limit) {
    const auto deadline = clock::now() + limit;
    for (;;) {
        const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        check(fd >= 0, "socket");
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
            return fd;
        }
        close(fd);
        if (clock::now() > deadline) {
            return -1;
        }
        std::this_thread::sleep_for(10ms);
    }
}

int listen_unix(const std::string& path) {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    check(fd >= 0, "socket");
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    check(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0, "bind");
    check(listen(fd, 16) == 0, "listen");
    return fd;
}

bool wait_for_path(const std::string& path, seconds limit) {
    const auto deadline = clock::now() + limit;
    while (clock::now() < deadline) {
        if (access(path.c_str(), F_OK) == 0) {
            return true;
        }
        std::this_thread::sleep_for(5ms);
    }
    return false;
}

bool wait_for_file_text(const std::string& path, const std::string& text, seconds limit) {
    const auto deadline = clock::now() + limit;
    while (clock::now() < deadline) {
        if (read_file(path).find(text) != std::string::npos) {
            return true;
        }
        std::this_thread::sleep_for(5ms);
    }
    return false;
}

bool wait_until_writer_held_up(int fd, seconds steady, seconds limit) {
    const auto deadline = clock::now() + limit;
    int queued = -1;
    auto since = clock::now();
    while (clock::now() < deadline) {
        int now_queued = 0;
        if (ioctl(fd, FIONREAD, &now_queued) != 0) {
            return false;
        }
        if (now_queued != queued) {
            queued = now_queued;
            since = clock::now();
        } else if (queued > 0 && clock::now() - since >= steady) {
            return true;
        }
        std::this_thread::sleep_for(10ms);
    }
    return false;
}

void send_all(int fd, const std::string& data) {
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (n <= 0) {
            if (n < 0 && errno == EINTR) {
                continue;
            }
            return;
        }
        done += static_cast<std::size_t>(n);
    }
}

std::string receive_exactly(int fd, std::size_t count, seconds limit) {
    const auto deadline = clock::now() + limit;
    std::string data;
    char buffer[65536];
    while (data.size() < count) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now());
        if (left.count() <= 0) {
            break;
        }
        pollfd watch{fd, POLLIN, 0};
        if (poll(&watch, 1, static_cast<int>(left.count())) <= 0) {
            break;
        }
        const std::size_t want = std::min(sizeof buffer, count - data.size());
        const ssize_t n = read(fd, buffer, want);  // a socket or a pipe
        if (n <= 0) {
            break;
        }
        data.append(buffer, static_cast<std::size_t>(n));
    }
    return data;
}

std::string receive_all(int fd, seconds limit) {
    return receive_exactly(fd, SIZE_MAX, limit);
}

}  // namespace e2e

namespace e2e {

relay_ports open_relay_ports() {
    const int server_port = free_tcp_port();
    return {server_port, listen_tcp(server_port), free_tcp_port()};
}

std::vector<std::string> relay_args(int relay_port, int server_port,
                                    std::vector<std::string> options) {
    options.insert(options.end(), {"-l", port_text(relay_port), "-h", local_host(server_port)});
    return options;
}

relay_connections connect_through(int relay_port, int server) {
    const int client = connect_tcp(relay_port);
    return {client, client < 0 ? -1 : accept_with_deadline(server)};
}

namespace {

bool wait_listening_in(const char* table_path, int port, seconds limit) {
    char wanted[16];
    std::snprintf(wanted, sizeof wanted, ":%04X ", port);
    const auto deadline = clock::now() + limit;
    while (clock::now() < deadline) {
        std::istringstream table(read_file(table_path));
        std::string line;
        while (std::getline(table, line)) {
            // local_address is the second column, st the fourth; 0A is LISTEN.
            std::istringstream fields(line);
            std::string slot, local, remote, state;
            fields >> slot >> local >> remote >> state;
            if (state == "0A" && (local + " ").find(wanted) != std::string::npos) {
                return true;
            }
        }
        std::this_thread::sleep_for(10ms);
    }
    return false;
}

}  // namespace

bool wait_tcp_listening(int port, seconds limit) {
    return wait_listening_in("/proc/net/tcp", port, limit);
}

bool wait_tcp6_listening(int port, seconds limit) {
    return wait_listening_in("/proc/net/tcp6", port, limit);
}

process start_listener(const temp_dir& dir, const std::vector<std::string>& args,
                       const spawn_options& options) {
    process child = spawn(dir, args, options);
    if (!child.wait_for_err("listening on")) {
        throw std::runtime_error("the listener did not start: " + child.err());
    }
    return child;
}

std::optional<summary_numbers> find_summary(const std::string& err, const std::string& form) {
    std::istringstream lines(err);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.find(form) == std::string::npos || line.empty() || !std::isdigit(line[0])) {
            continue;
        }
        summary_numbers numbers;
        numbers.bytes = std::strtol(line.c_str(), nullptr, 10);
        const auto in = line.rfind(" in ");
        const auto open = line.rfind('(');
        if (in == std::string::npos || open == std::string::npos) {
            continue;
        }
        numbers.seconds = std::strtod(line.c_str() + in + 4, nullptr);
        numbers.rate = std::strtod(line.c_str() + open + 1, nullptr);
        return numbers;
    }
    return std::nullopt;
}

namespace {

// The texts that FERROX_TEST_ERROR_TEXTS prints, by the first word of their line ("98",
// "h1"); empty where it isn't set.
const std::map<std::string, std::string>& texts_of_other_library() {
    static const std::map<std::string, std::string> texts = [] {
        std::map<std::string, std::string> read;
        const char* helper = std::getenv("FERROX_TEST_ERROR_TEXTS");
        if (helper == nullptr || *helper == '\0') {
            return read;
        }
        FILE* lines = popen(helper, "r");
        check(lines != nullptr, "popen");
        char line[512];
        while (std::fgets(line, sizeof line, lines) != nullptr) {
            const std::string text(line, std::strcspn(line, "\n"));
            const auto space = text.find(' ');
            if (space != std::string::npos) {
                read[text.substr(0, space)] = text.substr(space + 1);
            }
        }
        check(pclose(lines) == 0, helper);
        if (read.empty()) {
            throw std::runtime_error(std::string(helper) + " printed no texts");
        }
        return read;
    }();
    return texts;
}

std::string text_of_other_library(const std::string& key) {
    const auto found = texts_of_other_library().find(key);
    if (found == texts_of_other_library().end()) {
        throw std::runtime_error("FERROX_TEST_ERROR_TEXTS gave no text for " + key);
    }
    return found->second;
}

}  // namespace

std::string error_text(int error) {
    if (texts_of_other_library().empty()) {
        return std::strerror(error);
    }
    return text_of_other_library(std::to_string(error));
}

std::string resolver_text(int error) {
    if (texts_of_other_library().empty()) {
        return hstrerror(error);
    }
    return text_of_other_library("h" + std::to_string(error));
}

}  // namespace e2e
