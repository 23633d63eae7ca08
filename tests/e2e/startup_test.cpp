// SPDX-License-Identifier: BSD-2-Clause
#include "harness.hpp"

#include <gtest/gtest.h>

namespace {

using namespace e2e;

struct refusal_case {
    std::vector<std::string> args;
    std::string stderr_text;  // the whole of standard error, or its first line for getopt's
    bool whole = true;
};

const std::string try_line =
    std::string("Try `") + FERROX_BINARY + " --help' for more information\n";

TEST(startup, refuses_usage_errors_and_contradictions_with_status_one) {
    temp_dir dir;
    const std::string missing = dir.file("no-such-dir/log");
    const refusal_case cases[] = {
        {{}, try_line},
        {{"-h", "a"}, try_line},
        {{"-b", "0", "--help"}, "invalid buffer size of 0, must be larger than 1 byte\n"},
        {{"-b", "2g", "-p", "1"},
         "invalid buffer size of -2147483648, must be larger than 1 byte\n"},
        {{"-B", "k", "-p", "1"}, "invalid buffer size of 0, must be larger than 1 byte\n"},
        {{"-l", "1", "-P", "2"},
         "you can not use --bind-port if you are not connecting, \njust use --port instead\n"},
        {{"-l", "1", "-o", "file"},
         "Error: when using the output (`-o') option files can not be supplied\n"},
        {{"-l", "1", "-h", "127.0.0.1:1", "file"},
         "Error: when using the output (`-o') option files can not be supplied\n"},
        {{"-l", "1", "-h", "127.0.0.1"},
         "a relay needs a port or path to connect to: give --host with :port, --port or "
         "--unix-host\n" +
             try_line},
        {{"-p", "1"},
         "--port alone neither listens nor connects: add --listen, --unix-listen, --host or "
         "--unix-host\n" +
             try_line},
        {{"-h", "127.0.0.1:1", "-e", missing}, missing + ": " + error_text(ENOENT) + "\n"},
    };
    for (const auto& c : cases) {
        const run_result result = run(dir, c.args, "", 20s);
        const std::string line = ::testing::PrintToString(c.args);
        EXPECT_TRUE(result.exit.exited) << line;
        EXPECT_EQ(result.exit.status, 1) << line;
        EXPECT_EQ(result.err, c.stderr_text) << line;
        EXPECT_EQ(result.out, "") << line;
    }
}

TEST(startup, getopt_diagnostics_are_followed_by_the_try_line) {
    temp_dir dir;
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"-x", "-p", "1"}, {"-p"}, {"--quiet=1", "-p", "1"}}) {
        const run_result result = run(dir, args, "", 20s);
        const std::string line = ::testing::PrintToString(args);
        EXPECT_EQ(result.exit.status, 1) << line;
        ASSERT_GE(result.err.size(), try_line.size()) << line;
        EXPECT_EQ(result.err.substr(result.err.size() - try_line.size()), try_line) << line;
        EXPECT_EQ(count_of(result.err, "\n"), 2U) << "one diagnostic line, then Try: " << line;
    }
}

TEST(startup, verbose_prints_the_buffer_size_line_even_when_quiet) {
    temp_dir dir;
    // Nothing listens on the port: the run ends at the connect, after the start-up lines.
    const int port = free_tcp_port();
    const run_result result =
        run(dir, {"-v", "-q", "-b", "4k", "-h", "127.0.0.1:" + std::to_string(port)}, "", 20s);
    EXPECT_EQ(result.err.rfind("using 4096 byte buffer\n", 0), 0U) << result.err;
    EXPECT_NE(result.err.find("error connecting socket\n"), std::string::npos);
    EXPECT_EQ(result.exit.status, 1);
}

}  // namespace
