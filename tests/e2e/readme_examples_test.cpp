// SPDX-License-Identifier: BSD-2-Clause
// Runs every example of the README and the manual page as the shell runs it, with their own
// words, so that the documentation can't drift from what ferrox does. Ports and the socket
// path are swapped for free ones; file names are relative to a temporary working directory.
#include "harness.hpp"

#include <cstdlib>
#include <gtest/gtest.h>
#include <pty.h>
#include <set>
#include <sstream>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace e2e;

// The examples, word for word as the documents give them.
const std::string send_listener = "ferrox --listen 9000 --sum > copy.bin";
const std::string send_client = "ferrox --host 127.0.0.1:9000 --sum original.bin";
const std::string serve_continue = "ferrox --listen 9000 --continue --input original.bin";
const std::string serve_once = "ferrox --listen 9000 --input original.bin";
const std::string receive_client = "ferrox --host 127.0.0.1:9000 --output > copy.bin";
const std::string web_server = "python3 -m http.server 8000 --bind 127.0.0.1 &";
const std::string web_relay =
    "ferrox --listen 8080 --host 127.0.0.1:8000 --continue --echo traffic.log";
const std::string unix_listener = "ferrox --unix-listen /tmp/ferrox.sock > copy.bin";
const std::string unix_client = "ferrox --unix-host /tmp/ferrox.sock original.bin";
const std::string two_way_listener = "ferrox --listen 9000 --input --output";
const std::string interactive = "ferrox --host 127.0.0.1:9000 --input --output --nobuf";
const std::string ipv6_listener = "ferrox --listen '[::]:9000' > copy.bin";
const std::string ipv6_client = "ferrox --host '[::1]:9000' original.bin";
// The two-way rule: standard input's end goes to the server as a half-close, and the reply
// still arrives whole.
const std::string request = "printf 'GET / HTTP/1.0\\r\\n\\r\\n' | ferrox --host 127.0.0.1:8000 "
                            "--input --output";
const std::string manual_request =
    "printf 'GET / HTTP/1.0\\r\\n\\r\\n' | ferrox -h 127.0.0.1:8000 -i -o";

const std::set<std::string> tested = {
    send_listener, send_client,   serve_continue, serve_once,  receive_client,
    web_server,    web_relay,     unix_listener,  unix_client, two_way_listener,
    interactive,   ipv6_listener, ipv6_client};

std::string replace_all(std::string text, const std::string& from, const std::string& to) {
    for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
    return text;
}

// An example run by /bin/sh in a temporary working directory, with the built ferrox first
// on the PATH, ports and the socket path swapped for free ones. A trailing "&" is dropped:
// the test keeps the process itself.
struct example_runner {
    temp_dir dir;
    const int port_9000 = free_tcp_port();
    const int port_8000 = free_tcp_port();
    const int port_8080 = free_tcp_port();
    const std::string socket_path = dir.file("ferrox.sock");

    [[nodiscard]] std::string shell_line(const std::string& line) const {
        std::string text = replace_all(line, "/tmp/ferrox.sock", socket_path);
        text = replace_all(text, "9000", std::to_string(port_9000));
        text = replace_all(text, "8000", std::to_string(port_8000));
        text = replace_all(text, "8080", std::to_string(port_8080));
        if (text.ends_with(" &")) {
            text.resize(text.size() - 2);
        }
        return text;
    }
    [[nodiscard]] spawn_options in_shell(spawn_options options = {}) const {
        const std::string binary = FERROX_BINARY;
        const char* path = std::getenv("PATH");
        options.program = "/bin/sh";
        options.cwd = dir.path;
        options.environment.push_back("PATH=" + binary.substr(0, binary.rfind('/')) + ":" +
                                      (path != nullptr ? path : "/usr/bin:/bin"));
        return options;
    }
    // The example as the only command of its shell, which becomes it (exec), so that
    // signals and the exit status are the program's own.
    process start(const std::string& line, spawn_options options = {}) const {
        return spawn(dir, {"-c", "exec " + shell_line(line)}, in_shell(std::move(options)));
    }
    // A shell recipe, run as a whole.
    process start_recipe(const std::string& recipe) const {
        return spawn(dir, {"-c", shell_line(recipe)}, in_shell());
    }
    [[nodiscard]] std::string file(const std::string& name) const {
        return read_file(dir.file(name));
    }
};

std::vector<std::string> documented_commands(const std::string& text, const std::string& indent) {
    std::vector<std::string> commands;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.rfind(indent + "ferrox ", 0) == 0 || line.rfind(indent + "python3 ", 0) == 0) {
            commands.push_back(line.substr(indent.size()));
        }
    }
    return commands;
}

TEST(documented_examples, every_example_in_the_readme_and_the_manual_is_tested_here) {
    const auto readme = documented_commands(read_file(FERROX_SOURCE_DIR "/README.md"), "    ");
    const auto manual = documented_commands(read_file(FERROX_SOURCE_DIR "/doc/ferrox.1"), "");
    EXPECT_GE(readme.size(), 9U);
    EXPECT_GE(manual.size(), 7U);
    for (const auto& command : readme) {
        EXPECT_TRUE(tested.contains(command)) << "README example without a test: " << command;
    }
    for (const auto& command : manual) {
        EXPECT_TRUE(tested.contains(command)) << "manual example without a test: " << command;
    }
}

TEST(documented_examples, a_file_sent_with_checksums_compared_on_both_ends) {
    example_runner example;
    const std::string data = random_bytes(1 << 20, 40);
    write_file(example.dir.file("original.bin"), data);
    process listener = example.start(send_listener);
    ASSERT_TRUE(listener.wait_for_err("listening on"));
    process client = example.start(send_client);
    EXPECT_EQ(client.wait(30s).status, 0);
    EXPECT_EQ(listener.wait(30s).status, 0);
    EXPECT_TRUE(example.file("copy.bin") == data);
    char line[32];
    std::snprintf(line, sizeof line, "checksum: %lu\n", zlib_adler32(data));
    EXPECT_NE(client.err().find(line), std::string::npos) << client.err();
    EXPECT_NE(listener.err().find(line), std::string::npos) << listener.err();
}

TEST(documented_examples, a_client_receiving_from_a_listener_that_sends) {
    example_runner example;
    const std::string data = random_bytes(300000, 43);
    write_file(example.dir.file("original.bin"), data);
    process listener = example.start(serve_once);
    ASSERT_TRUE(listener.wait_for_err("listening on"));
    process client = example.start(receive_client);
    EXPECT_EQ(client.wait(30s).status, 0) << client.err();
    EXPECT_EQ(listener.wait(30s).status, 0) << listener.err();
    EXPECT_TRUE(example.file("copy.bin") == data);
}

TEST(documented_examples, a_listener_serving_peer_after_peer_and_a_receiving_client) {
    example_runner example;
    const std::string data = random_bytes(100000, 41);
    write_file(example.dir.file("original.bin"), data);
    process listener = example.start(serve_continue);
    ASSERT_TRUE(listener.wait_for_err("listening on"));
    for (int peer = 0; peer < 2; ++peer) {
        std::remove(example.dir.file("copy.bin").c_str());
        process client = example.start(receive_client);
        EXPECT_EQ(client.wait(30s).status, 0);
        EXPECT_TRUE(example.file("copy.bin") == data) << "peer " << peer;
    }
    listener.signal(SIGKILL);
}

// A browser asks for the page and then for more (its icon, what it links), each on a
// connection of its own: the relay serves them one after another.
TEST(documented_examples, a_relay_in_front_of_a_local_web_server_serves_request_after_request) {
    if (lacks_program("python3")) {
        return;
    }
    example_runner example;
    const std::vector<std::pair<std::string, std::string>> pages = {
        {"index.html", "<p>hello through the relay</p>\n"},
        {"favicon.ico", "not really an icon\n"}};
    for (const auto& [name, text] : pages) {
        write_file(example.dir.file(name), text);
    }
    process server = example.start(web_server);
    ASSERT_TRUE(wait_tcp_listening(example.port_8000, 30s)) << server.err();
    process relay = example.start(web_relay);
    ASSERT_TRUE(relay.wait_for_err("listening on"));
    for (const auto& [name, text] : pages) {
        const int client = connect_tcp(example.port_8080);
        ASSERT_GE(client, 0) << "no relay to connect to for " << name;
        send_all(client, "GET /" + name + " HTTP/1.0\r\n\r\n");
        const std::string response = receive_all(client, 30s);
        close(client);
        EXPECT_NE(response.find("HTTP/1.0 200"), std::string::npos) << response;
        EXPECT_NE(response.find(text), std::string::npos) << response;
    }
    relay.signal(SIGTERM);
    server.signal(SIGKILL);
    EXPECT_EQ(relay.wait(30s).signal, SIGTERM);  // still serving: ended only by the signal
    const std::string log = example.file("traffic.log");
    EXPECT_NE(log.find("L: GET /index.html HTTP/1.0\r\n\r\n"), std::string::npos) << log;
    EXPECT_NE(log.find("L: GET /favicon.ico HTTP/1.0\r\n\r\n"), std::string::npos) << log;
    EXPECT_EQ(count_of(log, "H: HTTP/1.0 200"), 2U) << log;
}

// The shell recipes of the two-way rule, run by the shell as written, against a real web
// server: a request from a finished input gets the whole reply.
TEST(documented_examples, a_two_way_request_from_a_finished_input_gets_the_reply) {
    const std::string readme = read_file(FERROX_SOURCE_DIR "/README.md");
    const std::string manual = read_file(FERROX_SOURCE_DIR "/doc/ferrox.1");
    EXPECT_NE(readme.find("    " + request + "\n"), std::string::npos);
    // the manual writes a backslash as \e
    EXPECT_NE(manual.find(replace_all(manual_request, "\\", "\\e")), std::string::npos);
    if (lacks_program("python3")) {
        return;
    }
    for (const std::string& recipe : {request, manual_request}) {
        example_runner example;
        const std::string page = "<p>the whole reply</p>\n" + random_bytes(200000, 43);
        write_file(example.dir.file("index.html"), page);
        process server = example.start(web_server);
        ASSERT_TRUE(wait_tcp_listening(example.port_8000, 30s)) << server.err();
        process request_run = example.start_recipe(recipe);
        EXPECT_EQ(request_run.wait(30s).status, 0) << request_run.err();
        server.signal(SIGKILL);
        EXPECT_NE(request_run.out().find("HTTP/1.0 200"), std::string::npos) << recipe;
        EXPECT_NE(request_run.out().find(page), std::string::npos) << recipe;
    }
}

TEST(documented_examples, a_unix_domain_socket) {
    example_runner example;
    const std::string data = random_bytes(200000, 42);
    write_file(example.dir.file("original.bin"), data);
    process listener = example.start(unix_listener);
    ASSERT_TRUE(listener.wait_for_err("listening on"));
    process client = example.start(unix_client);
    EXPECT_EQ(client.wait(30s).status, 0);
    EXPECT_EQ(listener.wait(30s).status, 0);
    EXPECT_TRUE(example.file("copy.bin") == data);
}

// The listener shows what the session types, key by key, and sends back what is typed
// into it; Ctrl-\ ends the session, which ends the listener's transfer too.
using documented_ipv6_examples = on_ipv6_loopback;

TEST_F(documented_ipv6_examples, a_file_sent_over_ipv6_to_a_listener_on_every_address) {
    example_runner example;
    const std::string data = random_bytes(1 << 20, 43);
    write_file(example.dir.file("original.bin"), data);
    process listener = example.start(ipv6_listener);
    ASSERT_TRUE(listener.wait_for_err("listening on")) << listener.err();
    process client = example.start(ipv6_client);
    EXPECT_EQ(client.wait(30s).status, 0) << client.err();
    EXPECT_EQ(listener.wait(30s).status, 0) << listener.err();
    EXPECT_TRUE(example.file("copy.bin") == data);
    const std::string port = std::to_string(example.port_9000);
    EXPECT_EQ(listener.err().rfind("listening on :: port " + port + ".\nconnection from ::1 on", 0),
              0U)
        << listener.err();
    EXPECT_EQ(client.err().rfind("connected to ::1 (::1) on port " + port + ".\n", 0), 0U)
        << client.err();
}

TEST(documented_examples, an_interactive_two_way_session_with_nobuf_and_its_listener) {
    example_runner example;
    spawn_options typed_into;
    typed_into.stdin_pipe = true;
    process listener = example.start(two_way_listener, typed_into);
    ASSERT_TRUE(listener.wait_for_err("listening on"));
    int master = -1, slave = -1;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    spawn_options terminal;
    terminal.stdin_fd = slave;
    terminal.controlling_tty = true;
    process session = example.start(interactive, terminal);
    ASSERT_TRUE(session.wait_for_err("connected to"));
    ASSERT_EQ(write(master, "k", 1), 1);  // no line end: --nobuf sends it at once
    EXPECT_TRUE(wait_for_file_text(listener.out_path, "k", 10s)) << listener.out();
    ASSERT_EQ(write(listener.stdin_write, "reply\n", 6), 6);
    EXPECT_TRUE(wait_for_file_text(session.out_path, "reply\n", 10s)) << session.out();
    ASSERT_EQ(write(master, "\x1c", 1), 1);  // Ctrl-\ ends it
    EXPECT_EQ(session.wait(20s).status, 0) << session.err();
    // typed into through a pipe, not a terminal: its end is what ends the listener's side
    listener.close_stdin();
    EXPECT_EQ(listener.wait(20s).status, 0) << listener.err();
    EXPECT_EQ(listener.out(), "k");
    termios after{};
    tcgetattr(slave, &after);
    EXPECT_NE(after.c_lflag & ICANON, 0U);
    close(master);
    close(slave);
}

}  // namespace
