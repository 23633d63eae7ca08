// SPDX-License-Identifier: BSD-2-Clause
// The address texts of --host, --listen and --bind-port. An IPv6 address goes in brackets, so
// that its colons are not taken for the one before the port: "[::1]:9000", or "[::1]" where
// the port comes from elsewhere. A text that doesn't start with a bracket is read as it always
// was.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

enum class bracket_form {
    none,       // no opening bracket
    closed,     // "[address]", alone or followed by ":port"
    malformed,  // no closing bracket, or something other than ":port" after it
};

struct bracketed_text {
    bracket_form form;
    std::string_view address;              // between the brackets (closed)
    std::string_view with_brackets;        // the address and its brackets (closed)
    std::optional<std::string_view> port;  // what follows "]:", when it does
};

[[nodiscard]] bracketed_text read_brackets(std::string_view text);

// The port that a number text names, read as strtol reads the start of the text, so that a
// text that starts with no number comes to 0 as it always did. Nothing for a number outside
// 0 to 65535: it names no port, and its low 16 bits would name another one. Host order.
[[nodiscard]] std::optional<std::uint16_t> port_number(const char* text);

// Says on standard error what is wrong with a bracketed text: its form, or (when `needs_port`)
// the port that it lacks. False when nothing is.
bool report_bad_brackets(const bracketed_text& parsed, const char* text, bool needs_port);
