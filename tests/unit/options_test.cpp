// SPDX-License-Identifier: BSD-2-Clause
#include "scan_fixture.hpp"

#include <climits>
#include <cstdint>

namespace {

struct size_case {
    const char* argument;
    std::int32_t value;
};

TEST(parse_size, reads_strtol_base_zero_with_last_character_suffix_wrapped_to_32_bits) {
    const size_case cases[] = {
        {"64k", 65536},
        {"0x10k", 16384},
        {"010", 8},
        {"08", 0},  // the octal reading stops at the 8
        {"1", 1},
        {"1g", 1073741824},
        {"1G", 1073741824},
        {"2m", 2097152},
        {"2g", INT32_MIN},
        {"4g", 0},
        // strtol stops at LONG_MAX where a long has 32 bits, and its low 32 bits are INT32_MAX
        {"5000000000", LONG_MAX > INT32_MAX ? 705032704 : INT32_MAX},
        {"k", 0},
        {"", 0},
        {"1.5k", 1024},  // the suffix is the last character, whatever stands before it
        {"64kb", 64},
        {"64k ", 64},
        {" -3", -3},
        {"99999999999999999999g", -1073741824},  // strtol stops at LONG_MAX
        {"-99999999999999999999k", 0},           // and at LONG_MIN
    };
    for (const auto& c : cases) {
        EXPECT_EQ(parse_size(c.argument), c.value) << "argument '" << c.argument << "'";
    }
}

struct timeout_case {
    const char* argument;
    std::int64_t seconds;
    std::int64_t microseconds;
};

TEST(parse_timeout, takes_seconds_by_strtol_and_microseconds_by_the_atof_difference) {
    const timeout_case cases[] = {
        {"1.5", 1, 500000},
        {"2.3", 2, 299999},  // the product lies just under 300000 and is
                             // truncated
        {".5", 0, 500000},
        {"-1.5", -1, -500000},
        {"1e3", 1, 999000000},
        {"0x10", 0, 16000000},
        {"none", 0, 0},
        {"", 0, 0},
        {"2.5", 2, 500000},
    };
    for (const auto& c : cases) {
        const timeout_pair pair = parse_timeout(c.argument);
        EXPECT_EQ(pair.seconds, c.seconds) << "argument '" << c.argument << "'";
        EXPECT_EQ(pair.microseconds, c.microseconds) << "argument '" << c.argument << "'";
    }
}

TEST(parse_timeout, holds_periods_without_a_defined_product_at_chosen_values) {
    const timeout_case cases[] = {
        {"1e400", 1, INT64_MAX},  // infinite
        {"inf", 0, INT64_MAX},
        {"-inf", 0, INT64_MIN},
        {"nan", 0, 0},
        {"1e30", 1, INT64_MAX},
        {"-1e30", -1, INT64_MIN},
        {"99999999999999999999", LONG_MAX, INT64_MAX},  // strtol stops at LONG_MAX, atof does not
    };
    for (const auto& c : cases) {
        const timeout_pair pair = parse_timeout(c.argument);
        EXPECT_EQ(pair.seconds, c.seconds) << "argument '" << c.argument << "'";
        EXPECT_EQ(pair.microseconds, c.microseconds) << "argument '" << c.argument << "'";
    }
}

TEST(split_host_port, splits_at_the_first_colon_only) {
    EXPECT_EQ(split_host_port("a:b:c").host, "a");
    EXPECT_EQ(split_host_port("a:b:c").port, "b:c");
    EXPECT_EQ(split_host_port("host:").port, "");
    EXPECT_EQ(split_host_port(":80").host, "");
    EXPECT_EQ(split_host_port(":80").port, "80");
    EXPECT_FALSE(split_host_port("plain").port.has_value());
    EXPECT_EQ(split_host_port("plain").host, "plain");
}

struct slot_case {
    std::vector<std::string> words;
    const char* connect_port;
    const char* listen_port;
    const char* host;
    const char* bind_port;
};

using port_slots = scan_test;

TEST_F(port_slots, follow_first_port_wins_and_host_splits) {
    const slot_case cases[] = {
        {{"-p", "80", "-p", "90"}, "80", "80", nullptr, nullptr},
        {{"-p", "80", "-h", "a:90"}, "90", "80", "a", nullptr},
        {{"-h", "a:90", "-p", "80"}, "90", "80", "a", nullptr},
        {{"-p", "80", "-l", "90"}, "80", "90", nullptr, nullptr},
        {{"-h", "a:b:c"}, "b:c", nullptr, "a", nullptr},
        {{"-h", "host:"}, "", nullptr, "host", nullptr},
        {{"-h", ":80"}, "80", nullptr, "", nullptr},
        {{"-h", "a:1", "-h", "b"}, "1", nullptr, "b", nullptr},
        {{"-u", "/s", "-h", "x:7"}, "7", nullptr, "x", nullptr},
        {{"-P", "1", "-P", "2", "-h", "x:3"}, "3", nullptr, "x", "1"},
        {{"--port=5", "--listen", "6"}, "5", "6", nullptr, nullptr},
        {{"--unix-listen", "/a", "-U", "/b"}, nullptr, "/b", nullptr, nullptr},
        // An IPv6 host keeps its brackets, so that the summary names it as given; its port
        // comes after the closing bracket or from --port. A bracket that isn't closed
        // properly leaves the whole text as the host, for the connect step to refuse.
        {{"-h", "[::1]:9000"}, "9000", nullptr, "[::1]", nullptr},
        {{"-h", "[::1]", "-p", "9000"}, "9000", "9000", "[::1]", nullptr},
        {{"-p", "9000", "-h", "[::1]"}, "9000", "9000", "[::1]", nullptr},
        {{"-h", "[::1]:80", "-p", "9000"}, "80", "9000", "[::1]", nullptr},
        {{"-h", "[fe80::1%eth0]:9000"}, "9000", nullptr, "[fe80::1%eth0]", nullptr},
        {{"-h", "[::1:9000", "-p", "80"}, "80", "80", "[::1:9000", nullptr},
        {{"-h", "[::1]x:9000", "-p", "80"}, "80", "80", "[::1]x:9000", nullptr},
        {{"-l", "[::]:9000", "-P", "[::1]:0", "-h", "x:1"}, "1", "[::]:9000", "x", "[::1]:0"},
    };
    for (const auto& c : cases) {
        reset_run_state();
        const scan_result result = scan(c.words);
        const std::string line = ::testing::PrintToString(c.words);
        EXPECT_EQ(result.outcome, scan_outcome::ready) << line;
        EXPECT_EQ(text_or_null(run_state.connect_port), text_or_null(c.connect_port)) << line;
        EXPECT_EQ(text_or_null(run_state.listen_port), text_or_null(c.listen_port)) << line;
        EXPECT_EQ(text_or_null(run_state.host), text_or_null(c.host)) << line;
        EXPECT_EQ(text_or_null(run_state.bind_port), text_or_null(c.bind_port)) << line;
    }
}

using option_effects = scan_test;

TEST_F(option_effects, later_echo_path_replaces_earlier_and_sizes_overwrite) {
    ASSERT_EQ(scan({"-e", "a", "-e", "b", "-b", "1k", "-b", "2k", "-B", "8k", "-p", "1"}).outcome,
              scan_outcome::ready);
    EXPECT_STREQ(run_state.echo_path, "b");
    EXPECT_EQ(buffer_size, 2048);
    EXPECT_EQ(run_state.sockbuf_size, 8192);
    EXPECT_EQ(run_state.flags, FLAG_ECHO | FLAG_INPUT | FLAG_OUTPUT);
}

TEST_F(option_effects, every_flag_option_adds_its_bit_long_or_short) {
    ASSERT_EQ(scan({"--continue", "-D", "--input", "-n", "--output", "-q", "--sum", "-v", "-p", "1",
                    "--debug"})
                  .outcome,
              scan_outcome::ready);
    EXPECT_EQ(run_state.flags, FLAG_CONTINUE | FLAG_DEBUG | FLAG_INPUT | FLAG_NOBUF | FLAG_OUTPUT |
                                   FLAG_QUIET | FLAG_SUM | FLAG_VERBOSE);
}

TEST_F(option_effects, a_later_timeout_replaces_the_earlier_pair) {
    ASSERT_EQ(scan({"-t", "1.5", "--timeout", "2.3", "-p", "1"}).outcome, scan_outcome::ready);
    ASSERT_NE(run_state.timeout, nullptr);
    EXPECT_EQ(run_state.timeout->tv_sec, 2);
    EXPECT_EQ(run_state.timeout->tv_usec, 299999);
}

TEST_F(option_effects, operands_mix_with_options_and_double_hyphen_ends_them) {
    const scan_result result = scan({"a", "-p", "1", "--", "-b", "c"});
    ASSERT_EQ(result.outcome, scan_outcome::ready);
    EXPECT_EQ(buffer_size, 65536);  // "-b" after "--" is an operand
    // getopt_long moves the operands behind the options: "a", "-b" and "c" from index 4 on.
    EXPECT_EQ(result.first_operand, 4);
}

struct outcome_case {
    std::vector<std::string> words;
    scan_outcome outcome;
    std::int32_t rejected_size;
};

using scan_outcomes = scan_test;

TEST_F(scan_outcomes, the_first_ending_option_decides) {
    const outcome_case cases[] = {
        {{"--help"}, scan_outcome::show_help, 0},
        {{"-H"}, scan_outcome::show_help, 0},
        {{"--vers"}, scan_outcome::show_version, 0},  // a unique prefix
        {{"-V", "-b", "0"}, scan_outcome::show_version, 0},
        {{"-C"}, scan_outcome::show_credits, 0},
        {{"-b", "0", "--help"}, scan_outcome::bad_size, 0},
        {{"--help", "-b", "0"}, scan_outcome::show_help, 0},
        {{"-b", "2g", "-p", "1"}, scan_outcome::bad_size, INT32_MIN},
        {{"-B", "-5", "-p", "1"}, scan_outcome::bad_size, -5},
        {{"-b", "08", "-p", "1"}, scan_outcome::bad_size, 0},
        {{"-h", "a"}, scan_outcome::missing_port, 0},
        {{"-P", "1"}, scan_outcome::missing_port, 0},
        {{}, scan_outcome::missing_port, 0},
        {{"-x", "-p", "1"}, scan_outcome::usage_error, 0},
        {{"-p"}, scan_outcome::usage_error, 0},
        {{"--quiet=yes", "-p", "1"}, scan_outcome::usage_error, 0},
        {{"--bogus"}, scan_outcome::usage_error, 0},
    };
    for (const auto& c : cases) {
        reset_run_state();
        const scan_result result = scan(c.words);
        const std::string line = ::testing::PrintToString(c.words);
        EXPECT_EQ(result.outcome, c.outcome) << line;
        EXPECT_EQ(result.rejected_size, c.rejected_size) << line;
    }
}

}  // namespace
