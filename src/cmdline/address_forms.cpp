// SPDX-License-Identifier: BSD-2-Clause
#include "cmdline/address_forms.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

bracketed_text read_brackets(std::string_view text) {
    bracketed_text parsed{bracket_form::none, {}, {}, std::nullopt};
    if (!text.starts_with('[')) {
        return parsed;
    }
    const auto close = text.find(']');
    if (close == std::string_view::npos) {
        parsed.form = bracket_form::malformed;
        return parsed;
    }
    parsed.address = text.substr(1, close - 1);
    parsed.with_brackets = text.substr(0, close + 1);
    const std::string_view rest = text.substr(close + 1);
    if (rest.empty()) {
        parsed.form = bracket_form::closed;
    } else if (rest.front() == ':') {
        parsed.form = bracket_form::closed;
        parsed.port = rest.substr(1);
    } else {
        parsed.form = bracket_form::malformed;
    }
    return parsed;
}

std::optional<std::uint16_t> port_number(const char* text) {
    errno = 0;
    const long number = std::strtol(text, nullptr, 10);
    if (errno == ERANGE || number < 0 || number > 65535) {
        return std::nullopt;
    }
    return static_cast<std::uint16_t>(number);
}

bool report_bad_brackets(const bracketed_text& parsed, const char* text, bool needs_port) {
    if (parsed.form == bracket_form::malformed) {
        std::fprintf(stderr, "bad address: %s (write an IPv6 address as [address]:port)\n", text);
        return true;
    }
    if (needs_port && parsed.form == bracket_form::closed && !parsed.port) {
        std::fprintf(stderr, "no port after address: %s\n", text);
        return true;
    }
    return false;
}
