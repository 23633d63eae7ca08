// SPDX-License-Identifier: BSD-2-Clause
// IPv6 beside IPv4: every role over ::1, relays from one family to the other, a listener on
// [::] that takes IPv4 peers too, the bracketed forms that are refused, host names that have
// only one family, --bind-port over IPv6, and socat and netcat as IPv6 peers.
#include "harness.hpp"

#include <chrono>
#include <csignal>
#include <gtest/gtest.h>
#include <regex>
#include <sstream>
#include <thread>
#include <unistd.h>

namespace {

using namespace e2e;

// Texts with the ports of a test in them: LISTENER, RELAY and CLIENT stand for the ports
// picked for that test, and NUMBER (in expected lines) for any port number.
struct ports {
    int listener = free_dual_stack_port();
    int relay = free_dual_stack_port();

    [[nodiscard]] std::string fill(std::string text) const {
        for (const auto& [name, port] : {std::pair<std::string, int>{"LISTENER", listener},
                                         std::pair<std::string, int>{"RELAY", relay}}) {
            for (auto at = text.find(name); at != std::string::npos; at = text.find(name)) {
                text.replace(at, name.size(), port_text(port));
            }
        }
        return text;
    }
    [[nodiscard]] std::vector<std::string> fill(const std::vector<std::string>& words) const {
        std::vector<std::string> filled;
        for (const auto& word : words) {
            filled.push_back(fill(word));
        }
        return filled;
    }
};

// Whether `err` has a whole line that matches `expected`, where NUMBER stands for any port.
bool has_line(const std::string& err, const std::string& expected) {
    std::string pattern;
    for (const char c : expected) {
        if (std::string("\\^$.|?*+()[]{}").find(c) != std::string::npos) {
            pattern += '\\';
        }
        pattern += c;
    }
    for (auto at = pattern.find("NUMBER"); at != std::string::npos; at = pattern.find("NUMBER")) {
        pattern.replace(at, 6, "[0-9]+");
    }
    const std::regex line_pattern(pattern);
    std::istringstream lines(err);
    std::string line;
    while (std::getline(lines, line)) {
        if (std::regex_match(line, line_pattern)) {
            return true;
        }
    }
    return false;
}

struct route {
    std::string name;
    std::vector<std::string> listener;  // the receiving ferrox
    std::vector<std::string> relay;     // none when empty
    std::vector<std::string> client;    // the sending ferrox, before its file operand
    std::vector<std::string> listener_lines;
    std::vector<std::string> relay_lines;
    std::vector<std::string> client_lines;
};

using ipv6_routes = on_ipv6_loopback_with<route>;

// A file of a few MiB from a client through an optional relay to a listener, every ferrox with
// --sum: the bytes arrive whole, each checksum line agrees with zlib, and each connection line
// is exactly as given.
TEST_P(ipv6_routes, carry_a_file_byte_for_byte_with_the_exact_connection_lines) {
    const route& r = GetParam();
    const ports picked;
    temp_dir dir;
    const std::string data = random_bytes(3 << 20, 60);
    const std::string file = dir.file("data");
    write_file(file, data);
    char checksum[32];
    std::snprintf(checksum, sizeof checksum, "checksum: %lu", zlib_adler32(data));

    process listener = start_listener(dir, picked.fill(r.listener));
    const bool relayed = !r.relay.empty();
    process relay = relayed ? start_listener(dir, picked.fill(r.relay)) : process{};
    std::vector<std::string> client_args = picked.fill(r.client);
    client_args.push_back(file);
    const run_result client = run(dir, client_args, "", 60s);
    EXPECT_EQ(client.exit.status, 0) << client.err;
    EXPECT_EQ(listener.wait(60s).status, 0) << listener.err();
    EXPECT_TRUE(listener.out() == data) << "the listener received " << listener.out().size();

    const auto expect_lines = [&](const std::string& err, const std::vector<std::string>& lines) {
        for (const auto& line : lines) {
            EXPECT_TRUE(has_line(err, picked.fill(line))) << picked.fill(line) << " in\n" << err;
        }
        EXPECT_TRUE(has_line(err, checksum)) << checksum << " in\n" << err;
        EXPECT_EQ(err.find("::ffff:"), std::string::npos) << err;
    };
    expect_lines(client.err, r.client_lines);
    expect_lines(listener.err(), r.listener_lines);
    if (relayed) {
        EXPECT_EQ(relay.wait(60s).status, 0) << relay.err();
        expect_lines(relay.err(), r.relay_lines);
    }
}

const route routes[] = {
    {"client_to_listener",
     {"-s", "-l", "[::1]:LISTENER"},
     {},
     {"-s", "-h", "[::1]:LISTENER"},
     {"listening on ::1 port LISTENER.", "connection from ::1 on port NUMBER.",
      "3145728 bytes written to stdout in NUMBER.NUMBER seconds (NUMBER.NUMBER K/s)"},
     {},
     {"connected to ::1 (::1) on port LISTENER.",
      "3145728 bytes written to [::1]:LISTENER in NUMBER.NUMBER seconds (NUMBER.NUMBER K/s)"}},
    {"host_and_port_apart_to_every_address",
     {"-s", "-l", "[::]:LISTENER"},
     {},
     {"-s", "-h", "[::1]", "-p", "LISTENER"},
     {"listening on :: port LISTENER.", "connection from ::1 on port NUMBER."},
     {},
     {"connected to ::1 (::1) on port LISTENER.",
      "3145728 bytes written to [::1]:LISTENER in NUMBER.NUMBER seconds (NUMBER.NUMBER K/s)"}},
    {"relay_from_ipv6_to_ipv4",
     {"-s", "-l", "LISTENER"},
     {"-s", "-l", "[::1]:RELAY", "-h", "127.0.0.1:LISTENER"},
     {"-s", "-h", "[::1]:RELAY"},
     {"listening on 0.0.0.0 port LISTENER.", "connection from 127.0.0.1 on port NUMBER."},
     {"listening on ::1 port RELAY.", "connection from ::1 on port NUMBER.",
      "connected to 127.0.0.1 (127.0.0.1) on port LISTENER.",
      "3145728 bytes transfered in NUMBER.NUMBER seconds (NUMBER.NUMBER K/s)"},
     {"connected to ::1 (::1) on port RELAY."}},
    {"relay_from_ipv4_to_ipv6",
     {"-s", "-l", "[::1]:LISTENER"},
     {"-s", "-l", "RELAY", "-h", "[::1]:LISTENER"},
     {"-s", "-h", "127.0.0.1:RELAY"},
     {"listening on ::1 port LISTENER.", "connection from ::1 on port NUMBER."},
     {"listening on 0.0.0.0 port RELAY.", "connection from 127.0.0.1 on port NUMBER.",
      "connected to ::1 (::1) on port LISTENER."},
     {"connected to 127.0.0.1 (127.0.0.1) on port RELAY.",
      "3145728 bytes written to 127.0.0.1:RELAY in NUMBER.NUMBER seconds (NUMBER.NUMBER K/s)"}},
};

INSTANTIATE_TEST_SUITE_P(ipv6, ipv6_routes, ::testing::ValuesIn(routes),
                         [](const auto& info) { return info.param.name; });

using ipv6_listener = on_ipv6_loopback;

// [::] takes IPv4 peers too (IPV6_V6ONLY is switched off whatever the system's default), and
// shows them in their dotted form: one listener, an IPv4 peer and then an IPv6 one.
TEST_F(ipv6_listener, on_every_address_takes_ipv4_peers_and_shows_them_dotted) {
    temp_dir dir;
    const int port = free_dual_stack_port();
    process listener = start_listener(dir, {"-c", "-l", "[::]:" + port_text(port)});
    EXPECT_EQ(listener.err(), "listening on :: port " + port_text(port) + ".\n");
    const int ipv4 = connect_tcp(port);
    ASSERT_GE(ipv4, 0);
    const std::string ipv4_line =
        "connection from 127.0.0.1 on port " + port_text(local_port(ipv4)) + ".\n";
    send_all(ipv4, "four");
    close(ipv4);
    ASSERT_TRUE(listener.wait_for_err("4 bytes written to stdout")) << listener.err();
    const int ipv6 = connect_ipv6(port);
    ASSERT_GE(ipv6, 0);
    const std::string ipv6_line =
        "connection from ::1 on port " + port_text(local_port(ipv6)) + ".\n";
    send_all(ipv6, "six");
    close(ipv6);
    ASSERT_TRUE(listener.wait_for_err("3 bytes written to stdout")) << listener.err();
    listener.signal(SIGKILL);
    listener.wait(10s);
    const std::string err = listener.err();
    EXPECT_NE(err.find(ipv4_line), std::string::npos) << err;
    EXPECT_NE(err.find(ipv6_line), std::string::npos) << err;
    EXPECT_EQ(err.find("::ffff:"), std::string::npos) << err;
    EXPECT_EQ(listener.out(), "foursix");
}

struct refusal {
    std::vector<std::string> args;
    std::string err;
    int status;
};

using ipv6_refusals = on_ipv6_loopback;

// Bracketed texts that can't be used, and ports out of range: one clear line, then the
// caller's fatal line (or the "Try" line when the scan found no port), status 1; a name that can't
// be resolved in the family that --bind-port names ends with status 2, as for IPv4.
TEST_F(ipv6_refusals, bad_forms_zones_and_families_each_get_their_line) {
    temp_dir dir;
    const std::string port = port_text(free_dual_stack_port());
    const std::string try_line = "Try `" FERROX_BINARY " --help' for more information\n";
    const std::string bad_form = " (write an IPv6 address as [address]:port)\n";
    const auto out_of_range = [](const std::string& text) {
        return "port out of range: " + text + " (a port is 0 to 65535)\n";
    };
    const refusal cases[] = {
        {{"-h", "[::1:" + port}, "bad address: [::1:" + port + bad_form + try_line, 1},
        {{"-h", "[::1", "-p", port},
         "bad address: [::1" + bad_form + "error connecting socket\n",
         1},
        {{"-h", "[::1]x:" + port, "-p", port},
         "bad address: [::1]x:" + port + bad_form + "error connecting socket\n",
         1},
        {{"-h", "[::1]"}, "no port after address: [::1]\n" + try_line, 1},
        {{"-l", "[::1]"}, "no port after address: [::1]\nerror creating server socket\n", 1},
        {{"-l", "[::1:" + port},
         "bad address: [::1:" + port + bad_form + "error creating server socket\n",
         1},
        {{"-h", "[fe80::1%no-such-if0]:" + port},
         "unknown zone in ipaddr: fe80::1%no-such-if0\nerror connecting socket\n",
         1},
        {{"-l", "[fe80::1%no-such-if0]:" + port},
         "unknown zone in ipaddr: fe80::1%no-such-if0\nerror creating server socket\n",
         1},
        {{"-h", "[127.0.0.1]:" + port},
         "can't decipher ipaddr: 127.0.0.1\nerror connecting socket\n",
         1},
        {{"-l", "[localhost]:" + port},
         "can't decipher ipaddr: localhost\nerror creating server socket\n",
         1},
        {{"-h", "[::1]:" + port, "-P", "[::1"},
         "bad address: [::1" + bad_form + "error connecting socket\n",
         1},
        {{"-h", "[::1]:" + port, "-P", "[::zz]:0"},
         "can't decipher ipaddr: ::zz\nerror connecting socket\n",
         1},
        {{"-h", "127.0.0.1:" + port, "-P", "[::1]:0"},
         "can't bind ::1 for a connection to 127.0.0.1: one is IPv4, the other IPv6\n"
         "error connecting socket\n",
         1},
        {{"-h", "[::1]:" + port, "-P", "127.0.0.1:0"},
         "can't bind 127.0.0.1 for a connection to ::1: one is IPv4, the other IPv6\n"
         "error connecting socket\n",
         1},
        // a port outside 0 to 65535, which would wrap round to another port
        {{"-h", "[::1]:99999"}, out_of_range("99999") + "error connecting socket\n", 1},
        {{"-h", "[::1]", "-p", "70000"}, out_of_range("70000") + "error connecting socket\n", 1},
        {{"-l", "[::]:99999"}, out_of_range("99999") + "error creating server socket\n", 1},
        {{"-l", "[::1]:-1"}, out_of_range("-1") + "error creating server socket\n", 1},
        {{"-h", "[::1]:" + port, "-P", "[::1]:99999"},
         out_of_range("99999") + "error connecting socket\n",
         1},
        // the host is resolved, in the family of the bind, before the bind is looked at
        {{"-h", "no-such-host.invalid:80", "-P", "[::1]:0"}, herror_line(HOST_NOT_FOUND), 2},
        {{"-h", "no-such-host.invalid:80", "-P", "[bad"}, herror_line(HOST_NOT_FOUND), 2},
    };
    for (const auto& c : cases) {
        const run_result result = run(dir, c.args, "", 20s);
        const std::string line = ::testing::PrintToString(c.args);
        EXPECT_EQ(result.exit.status, c.status) << line;
        EXPECT_EQ(result.err, lookup_line(c.err, result.err)) << line;
    }
}

// The two fake names of the preloaded library, and a test server on both loopbacks.
struct both_loopbacks {
    int port = free_dual_stack_port();
    int ipv4 = listen_tcp(port);
    int ipv6 = listen_ipv6(port);
    ~both_loopbacks() {
        close(ipv4);
        close(ipv6);
    }
    both_loopbacks() = default;
    both_loopbacks(const both_loopbacks&) = delete;
    both_loopbacks& operator=(const both_loopbacks&) = delete;
};

spawn_options with_fake_names(const std::string& stdin_data) {
    spawn_options options;
    options.stdin_data = stdin_data;
    options.environment = {std::string("LD_PRELOAD=") + FERROX_FAKE_NAMES,
                           // a sanitizer runtime must otherwise come first among the libraries
                           "ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=0"};
    return options;
}

struct name_case {
    std::vector<std::string> args;  // HOST:PORT stands for the name and the servers' port
    std::string name;
    bool over_ipv6;
};

// with the fake names preloaded (see cannot_preload)
class ipv6_names : public on_ipv6_loopback {
  protected:
    void SetUp() override {
        on_ipv6_loopback::SetUp();
        [[maybe_unused]] const bool skipped = cannot_preload();
    }
};

// A name resolves to its first IPv4 address as always; a name with no IPv4 address falls back
// to its first IPv6 one; an IPv6 --bind-port resolves the name in IPv6; the line names the
// address that was connected to.
TEST_F(ipv6_names, resolve_to_ipv4_first_and_to_the_family_of_the_bind) {
    temp_dir dir;
    const name_case cases[] = {
        {{"-h", "dual-stack.ferrox.test:PORT"}, "dual-stack.ferrox.test", false},
        {{"-h", "ipv6-only.ferrox.test:PORT"}, "ipv6-only.ferrox.test", true},
        {{"-h", "dual-stack.ferrox.test:PORT", "-P", "[::1]:0"}, "dual-stack.ferrox.test", true},
        {{"-h", "dual-stack.ferrox.test:PORT", "-P", "127.0.0.1:0"},
         "dual-stack.ferrox.test",
         false},
        // a port alone binds every address of the family that the name resolved to
        {{"-h", "ipv6-only.ferrox.test:PORT", "-P", "0"}, "ipv6-only.ferrox.test", true},
    };
    for (const auto& c : cases) {
        const both_loopbacks servers;
        std::vector<std::string> args;
        for (const auto& word : c.args) {
            args.push_back(std::regex_replace(word, std::regex("PORT"), port_text(servers.port)));
        }
        const std::string line = ::testing::PrintToString(args);
        process client = spawn(dir, args, with_fake_names("hello"));
        const int fd = accept_with_deadline(c.over_ipv6 ? servers.ipv6 : servers.ipv4, 20s);
        ASSERT_GE(fd, 0) << line << client.err();
        EXPECT_EQ(receive_all(fd, 20s), "hello") << line;
        close(fd);
        EXPECT_EQ(client.wait(20s).status, 0) << line << client.err();
        const std::string address = c.over_ipv6 ? "::1" : "127.0.0.1";
        EXPECT_EQ(client.err().rfind("connected to " + c.name + " (" + address + ") on port " +
                                         port_text(servers.port) + ".\n",
                                     0),
                  0U)
            << line << client.err();
    }
    // An IPv4 --bind-port resolves in IPv4 only, where this name has nothing.
    process client =
        spawn(dir, {"-h", "ipv6-only.ferrox.test:1", "-P", "127.0.0.1:0"}, with_fake_names(""));
    EXPECT_EQ(client.wait(20s).status, 2);
    EXPECT_EQ(client.err(), herror_line(NO_DATA));
}

using ipv6_bind_port = on_ipv6_loopback;

// --bind-port over IPv6 as the peer sees it: an address and port, a port alone on every IPv6
// address, and an address alone with a port that the system picks.
TEST_F(ipv6_bind_port, the_peer_sees_the_bound_port) {
    temp_dir dir;
    const int port = free_dual_stack_port();
    const int server = listen_ipv6(port);
    for (const std::string form : {"[::1]:", "", "[::1]"}) {
        const int local = form == "[::1]" ? 0 : free_dual_stack_port();
        const std::string bind_text = local == 0 ? form : form + port_text(local);
        spawn_options options;
        options.stdin_data = "x";
        process client = spawn(dir, {"-h", ipv6_host(port), "-P", bind_text}, options);
        const int fd = accept_with_deadline(server);
        ASSERT_GE(fd, 0) << bind_text;
        if (local != 0) {
            EXPECT_EQ(peer_port(fd), local) << bind_text;
        }
        EXPECT_EQ(receive_all(fd, 20s), "x") << bind_text;
        close(fd);
        EXPECT_EQ(client.wait(20s).status, 0) << bind_text << client.err();
    }
    close(server);
}

using ipv6_everything_else = on_ipv6_loopback;

// The echo log, --verbose's socket buffer lines and the two-way summary over IPv6, exactly as
// over IPv4.
TEST_F(ipv6_everything_else, echo_log_and_verbose_lines_are_the_same_over_ipv6) {
    temp_dir dir;
    const int port = free_dual_stack_port();
    const int server = listen_ipv6(port);
    const std::string log = dir.file("log");
    spawn_options options;
    options.stdin_pipe = true;
    process client = spawn(dir, {"-v", "-B", "50000", "-e", log, "-h", ipv6_host(port)}, options);
    const int fd = accept_with_deadline(server);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(client.stdin_write, "ask", 3), 3);
    EXPECT_EQ(receive_exactly(fd, 3, 20s), "ask");
    send_all(fd, "reply");
    close(fd);
    close(server);
    // the peer's end closes standard output; standard input, still open, may go on to it
    ASSERT_TRUE(wait_for_file_text(client.out_path, "reply", 10s)) << client.out();
    EXPECT_FALSE(client.ended_within(500ms))
        << "the peer's end ended the transfer while standard input was open: " << client.err();
    client.close_stdin();  // and its end ends the transfer
    EXPECT_EQ(client.wait(20s).status, 0) << client.err();
    EXPECT_EQ(client.out(), "reply");
    const std::string connected = "connected to ::1 (::1) on port " + port_text(port) + ".\n";
    EXPECT_EQ(read_file(log), "=============\n" + connected + "L: askH: reply");
    const std::string err = client.err();
    EXPECT_EQ(err.rfind("using 65536 byte buffer\n" + connected, 0), 0U) << err;
    // Linux reports twice the size that was set.
    EXPECT_NE(err.find("using 100000 byte socket send buffer\n"
                       "using 100000 byte socket recv buffer\n"),
              std::string::npos)
        << err;
    EXPECT_TRUE(has_line(err, "8 bytes transfered in NUMBER.NUMBER seconds (NUMBER.NUMBER K/s)"))
        << err;
}

bool ends_with(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// Ctrl-C over IPv6 as over IPv4: a listener waiting on [::1] ends with the accept failure and
// status 1; a client in a transfer ends it with its summary and status 0.
TEST_F(ipv6_everything_else, an_interrupt_ends_a_waiting_listener_and_a_transfer) {
    temp_dir dir;
    process listener = start_listener(dir, {"-l", ipv6_host(free_dual_stack_port())});
    listener.signal(SIGINT);
    EXPECT_EQ(listener.wait(20s).status, 1);
    EXPECT_TRUE(ends_with(listener.err(), "interupted.\naccept: " + error_text(EBADF) +
                                              "\n"
                                              "error accepting connections\n"))
        << listener.err();

    const int port = free_dual_stack_port();
    const int server = listen_ipv6(port);
    spawn_options options;
    options.stdin_pipe = true;
    process client = spawn(dir, {"-h", ipv6_host(port)}, options);
    const int fd = accept_with_deadline(server);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(client.wait_for_err("connected to ::1 (::1)")) << client.err();
    client.signal(SIGINT);
    EXPECT_EQ(client.wait(20s).status, 0);
    close(fd);
    close(server);
    EXPECT_NE(client.err().find("interupted.\n0 bytes written to [::1]:" + port_text(port) + " in"),
              std::string::npos)
        << client.err();
}

// The close's wait for acknowledgement knows IPv6 sockets for TCP ones: a listener on ::1
// whose peer never reads waits in its close, as long as the connection lives, until Ctrl-C
// ends it at once.
TEST_F(ipv6_everything_else, a_listener_whose_peer_never_reads_waits_until_ctrl_c) {
    temp_dir dir;
    const int port = free_dual_stack_port();
    spawn_options options;
    options.stdin_data = random_bytes(300000, 62);
    process listener = start_listener(dir, {"-B", "4096", "-l", ipv6_host(port), "-i"}, options);
    const int peer = connect_ipv6(port);
    ASSERT_GE(peer, 0);
    std::this_thread::sleep_for(1500ms);
    EXPECT_EQ(listener.err().find("bytes written to"), std::string::npos)
        << "it did not wait for its peer: " << listener.err();
    const auto start = std::chrono::steady_clock::now();
    listener.signal(SIGINT);
    const exit_result result = listener.wait(30s);
    const std::chrono::duration<double> lasted = std::chrono::steady_clock::now() - start;
    close(peer);
    EXPECT_EQ(result.status, 0) << listener.err();
    EXPECT_LT(lasted.count(), 3.0) << listener.err();
}

using ipv6_real_peers = on_ipv6_loopback;

// ferrox against IPv6 peers it did not write: socat and netcat-openbsd.
TEST_F(ipv6_real_peers, ferrox_sends_to_and_receives_from_socat_and_netcat) {
    if (lacks_program("/usr/bin/socat") || lacks_program("/usr/bin/nc")) {
        return;
    }
    temp_dir dir;
    const std::string file = dir.file("data");
    const std::string data = random_bytes(3 << 20, 61);
    write_file(file, data);
    const std::string received = dir.file("received");
    spawn_options socat;
    socat.program = "/usr/bin/socat";

    // ferrox sends to socat on ::1
    int port = free_dual_stack_port();
    process socat_listener = spawn(
        dir,
        {"-u", "TCP6-LISTEN:" + port_text(port) + ",bind=[::1],reuseaddr", "CREATE:" + received},
        socat);
    ASSERT_TRUE(wait_tcp6_listening(port));
    const run_result sent = run(dir, {"-h", ipv6_host(port), file});
    EXPECT_EQ(sent.exit.status, 0) << sent.err;
    EXPECT_EQ(socat_listener.wait(30s).status, 0);
    EXPECT_TRUE(read_file(received) == data);

    // ferrox on ::1 receives from netcat-openbsd
    port = free_dual_stack_port();
    process listener = start_listener(dir, {"-l", ipv6_host(port)});
    spawn_options netcat;
    netcat.program = "/usr/bin/nc";
    netcat.stdin_data = data;
    process sender = spawn(dir, {"-6", "-N", "::1", port_text(port)}, netcat);
    EXPECT_EQ(listener.wait(30s).status, 0) << listener.err();
    sender.wait(10s);
    EXPECT_TRUE(listener.out() == data);

    // ferrox on [::] receives from socat over IPv6
    port = free_dual_stack_port();
    process listener2 = start_listener(dir, {"-l", "[::]:" + port_text(port)});
    process socat_sender =
        spawn(dir, {"-u", "FILE:" + file, "TCP6:[::1]:" + port_text(port)}, socat);
    EXPECT_EQ(listener2.wait(30s).status, 0) << listener2.err();
    socat_sender.wait(10s);
    EXPECT_TRUE(listener2.out() == data);
    EXPECT_TRUE(has_line(listener2.err(), "connection from ::1 on port NUMBER."))
        << listener2.err();
}

}  // namespace
