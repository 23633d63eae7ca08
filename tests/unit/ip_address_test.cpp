// SPDX-License-Identifier: BSD-2-Clause
// The addresses of the TCP endpoints: IPv6 literals with their zones, the text the lines
// print, ports, and the fall back from IPv4 to IPv6 for a name.
#include "endpoints/ip_address.hpp"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <netdb.h>
#include <string>

namespace {

std::string loopback_index() {
    return std::to_string(if_nametoindex("lo"));
}

TEST(read_ipv6_literal, reads_the_address_and_its_zone_as_the_scope_id) {
    ASSERT_NE(if_nametoindex("lo"), 0U) << "no loopback interface named lo";
    struct literal_case {
        std::string text;
        literal_result result;
        const char* address;  // as inet_ntop gives it back
        unsigned scope_id;
    };
    const literal_case cases[] = {
        {"::1", literal_result::read, "::1", 0},
        {"::", literal_result::read, "::", 0},
        {"2001:db8:0:0:0:0:0:1", literal_result::read, "2001:db8::1", 0},
        {"::ffff:127.0.0.1", literal_result::read, "::ffff:127.0.0.1", 0},
        {"fe80::1%lo", literal_result::read, "fe80::1", if_nametoindex("lo")},
        {"fe80::1%" + loopback_index(), literal_result::read, "fe80::1", if_nametoindex("lo")},
        {"fe80::1%no-such-if0", literal_result::unknown_zone, nullptr, 0},
        {"fe80::1%", literal_result::unknown_zone, nullptr, 0},
        {"fe80::1%4000000000", literal_result::unknown_zone, nullptr, 0},
        {"127.0.0.1", literal_result::not_an_address, nullptr, 0},
        {"localhost", literal_result::not_an_address, nullptr, 0},
        {"::1::2", literal_result::not_an_address, nullptr, 0},
        {"", literal_result::not_an_address, nullptr, 0},
        {"zzz%lo", literal_result::not_an_address, nullptr, 0},
    };
    for (const auto& c : cases) {
        ip_address address{};
        address.v6.sin6_port = htons(99);
        EXPECT_EQ(read_ipv6_literal(c.text, &address), c.result) << c.text;
        if (c.result != literal_result::read) {
            continue;
        }
        EXPECT_EQ(family_of(address), AF_INET6) << c.text;
        EXPECT_EQ(port_of(address), 0) << c.text;
        char text[INET6_ADDRSTRLEN] = "";
        inet_ntop(AF_INET6, &address.v6.sin6_addr, text, sizeof text);
        EXPECT_STREQ(text, c.address) << c.text;
        EXPECT_EQ(address.v6.sin6_scope_id, c.scope_id) << c.text;
    }
}

ip_address ipv6(const char* text, unsigned scope_id = 0) {
    ip_address address = any_address(AF_INET6);
    inet_pton(AF_INET6, text, &address.v6.sin6_addr);
    address.v6.sin6_scope_id = scope_id;
    return address;
}

TEST(address_text, is_dotted_for_ipv4_peers_and_standard_for_ipv6) {
    ip_address v4 = any_address(AF_INET);
    inet_pton(AF_INET, "10.1.2.3", &v4.v4.sin_addr);
    EXPECT_EQ(address_text(v4), "10.1.2.3");
    EXPECT_EQ(address_text(any_address(AF_INET)), "0.0.0.0");
    EXPECT_EQ(address_text(any_address(AF_INET6)), "::");
    EXPECT_EQ(address_text(ipv6("0:0:0:0:0:0:0:1")), "::1");
    EXPECT_EQ(address_text(ipv6("2001:DB8:0:0:1:0:0:1")), "2001:db8::1:0:0:1");
    // an IPv4 peer of a listener on [::] is shown as itself
    EXPECT_EQ(address_text(ipv6("::ffff:127.0.0.1")), "127.0.0.1");
    // a link-local address keeps its zone
    EXPECT_EQ(address_text(ipv6("fe80::1", if_nametoindex("lo"))), "fe80::1%lo");
}

TEST(address_ports, are_set_in_network_order_and_read_in_host_order) {
    for (const int family : {AF_INET, AF_INET6}) {
        ip_address address = any_address(family);
        set_port(address, htons(9000));
        EXPECT_EQ(port_of(address), 9000) << family;
        EXPECT_EQ(family_of(address), family);
    }
    EXPECT_EQ(length_of(any_address(AF_INET)), sizeof(sockaddr_in));
    EXPECT_EQ(length_of(any_address(AF_INET6)), sizeof(sockaddr_in6));
}

// herror's line for a resolver error, in the words of the C library linked (glibc's "Unknown
// host", musl's "Host not found", ...).
std::string herror_line(int error) {
    return std::string("gethostbyname: ") + hstrerror(error) + "\n";
}

// A name that doesn't exist prints HOST_NOT_FOUND's line where a resolver answered and
// TRY_AGAIN's ("Host name lookup failure") where none can be reached (a build root without a
// network): both are the system's honest answer. The line a case expects, or its offline
// twin when that was printed.
std::string lookup_line(const std::string& expected, const std::string& printed) {
    const std::string unknown = herror_line(HOST_NOT_FOUND);
    const std::string unreachable = herror_line(TRY_AGAIN);
    return expected == unknown && printed == unreachable ? unreachable : expected;
}

// The line for a failed lookup whose reason is the IPv4 lookup's own: what gethostbyname
// says of the name in this C library (glibc finds no host for "::1" and can't serve "" at
// all; musl finds no IPv4 address for the one and no host for the other).
std::string ipv4_lookup_line(const char* name) {
    if (gethostbyname(name) != nullptr) {
        return "(" + std::string(name) + " has an IPv4 address)";
    }
    return herror_line(h_errno);
}

struct resolve_case {
    const char* name;
    int family;  // asked for
    int result;
    const char* address;  // as address_text shows it
    std::string line;     // on standard error
};

// Literal names need no resolver: an IPv6 literal is no IPv4 name, so it is reached by the
// fall back, and not at all where IPv4 is asked for; herror's label stays "gethostbyname".
TEST(resolve_host, falls_back_to_ipv6_only_for_a_name_without_an_ipv4_address) {
    const resolve_case cases[] = {
        {"127.0.0.1", AF_UNSPEC, 0, "127.0.0.1", ""},
        {"127.1", AF_INET, 0, "127.0.0.1", ""},
        {"::1", AF_UNSPEC, 0, "::1", ""},
        {"::1", AF_INET6, 0, "::1", ""},
        {"::1", AF_INET, -1, nullptr, ipv4_lookup_line("::1")},
        {"no-such-host.invalid", AF_UNSPEC, -1, nullptr, herror_line(HOST_NOT_FOUND)},
        {"no-such-host.invalid", AF_INET6, -1, nullptr, herror_line(HOST_NOT_FOUND)},
        // the IPv4 lookup's own reason is the one reported after both failed
        {"", AF_UNSPEC, -1, nullptr, ipv4_lookup_line("")},
    };
    for (const auto& c : cases) {
        ip_address address{};
        ::testing::internal::CaptureStderr();
        const int result = resolve_host(c.name, c.family, &address);
        const std::string printed = ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(printed, lookup_line(c.line, printed)) << c.name;
        EXPECT_EQ(result, c.result) << c.name;
        if (c.address != nullptr) {
            EXPECT_EQ(address_text(address), c.address) << c.name;
        }
    }
}

TEST(is_ipv4_literal, accepts_what_needs_no_lookup) {
    for (const char* text : {"127.0.0.1", "127.1", "10", "0x7f.1"}) {
        EXPECT_TRUE(is_ipv4_literal(text)) << text;
    }
    for (const char* text : {"localhost", "::1", "", "1.2.3.4.5"}) {
        EXPECT_FALSE(is_ipv4_literal(text)) << text;
    }
}

}  // namespace
