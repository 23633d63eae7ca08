// SPDX-License-Identifier: BSD-2-Clause
// IPv6 addresses on the command line: the bracketed forms, and what is said about bad ones.
// How --host splits with them is in the option scanner's table of port slots.
#include "cmdline/address_forms.hpp"
#include "scan_fixture.hpp"

namespace {

struct bracket_case {
    const char* text;
    bracket_form form;
    const char* address;
    const char* with_brackets;
    const char* port;  // null: no port part
};

TEST(read_brackets, finds_the_address_and_what_follows_its_closing_bracket) {
    const bracket_case cases[] = {
        {"[::1]:9000", bracket_form::closed, "::1", "[::1]", "9000"},
        {"[::1]", bracket_form::closed, "::1", "[::1]", nullptr},
        {"[::1]:", bracket_form::closed, "::1", "[::1]", ""},
        {"[fe80::1%eth0]:ssh", bracket_form::closed, "fe80::1%eth0", "[fe80::1%eth0]", "ssh"},
        {"[]:80", bracket_form::closed, "", "[]", "80"},
        {"[::1]:80:90", bracket_form::closed, "::1", "[::1]", "80:90"},
        {"[::1", bracket_form::malformed, "", "", nullptr},
        {"[::1:9000", bracket_form::malformed, "", "", nullptr},
        {"[::1]9000", bracket_form::malformed, "", "", nullptr},
        {"[::1]]:80", bracket_form::malformed, "", "", nullptr},
        {"127.0.0.1:80", bracket_form::none, "", "", nullptr},
        {"::1]:80", bracket_form::none, "", "", nullptr},
        {"", bracket_form::none, "", "", nullptr},
    };
    for (const auto& c : cases) {
        const bracketed_text parsed = read_brackets(c.text);
        EXPECT_EQ(parsed.form, c.form) << c.text;
        if (c.form != bracket_form::closed) {
            continue;
        }
        EXPECT_EQ(parsed.address, c.address) << c.text;
        EXPECT_EQ(parsed.with_brackets, c.with_brackets) << c.text;
        EXPECT_EQ(parsed.port.has_value(), c.port != nullptr) << c.text;
        if (c.port != nullptr && parsed.port) {
            EXPECT_EQ(*parsed.port, c.port) << c.text;
        }
    }
}

TEST(report_bad_brackets, names_the_text_and_the_form_it_should_take) {
    struct report_case {
        const char* text;
        bool needs_port;
        const char* line;  // empty: nothing is wrong
    };
    const report_case cases[] = {
        {"[::1", false, "bad address: [::1 (write an IPv6 address as [address]:port)\n"},
        {"[::1]x", true, "bad address: [::1]x (write an IPv6 address as [address]:port)\n"},
        {"[::1]", true, "no port after address: [::1]\n"},
        {"[::1]", false, ""},
        {"[::1]:", true, ""},
        {"[::1]:80", true, ""},
        {"plain", true, ""},
    };
    for (const auto& c : cases) {
        ::testing::internal::CaptureStderr();
        const bool reported = report_bad_brackets(read_brackets(c.text), c.text, c.needs_port);
        EXPECT_EQ(::testing::internal::GetCapturedStderr(), c.line) << c.text;
        EXPECT_EQ(reported, *c.line != '\0') << c.text;
    }
}

// A port number is read as strtol reads the start of the text, so a text that is no number
// comes to 0; a number outside 0 to 65535 names no port and must not wrap round to one.
TEST(port_number, reads_0_to_65535_and_nothing_outside) {
    struct port_case {
        const char* text;
        std::optional<std::uint16_t> port;
    };
    const port_case cases[] = {
        {"0", 0},
        {"80", 80},
        {"65535", 65535},
        {" +443", 443},
        {"80abc", 80},
        {"foo", 0},
        {"", 0},
        {"-0", 0},
        {"65536", std::nullopt},
        {"70000", std::nullopt},
        {"99999", std::nullopt},
        {"-1", std::nullopt},
        {"4294967376", std::nullopt},  // 2^32 + 80: wrapped twice, it would be 80
        {"99999999999999999999", std::nullopt},
        {"-99999999999999999999", std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(port_number(c.text), c.port) << c.text;
    }
}

using bracketed_hosts = scan_test;

TEST_F(bracketed_hosts, without_any_port_end_the_scan_like_a_plain_host) {
    for (const char* host : {"[::1]", "[::1", "[::1:9000"}) {
        reset_run_state();
        EXPECT_EQ(scan({"-h", host}).outcome, scan_outcome::missing_port) << host;
    }
}

}  // namespace
