// SPDX-License-Identifier: BSD-2-Clause
// A timeout's seconds are the strtol reading; its microseconds are the rest of the
// floating-point reading times a million, truncated, and held at the ends of the 64-bit
// range where the product has no integer value. A plain decimal period keeps its
// microseconds within a second (1000000 at most, when the fraction rounds up) and with the
// sign of the seconds.
#include "cmdline/options.hpp"
#include "fuzz_support.hpp"

#include <cctype>
#include <climits>
#include <cmath>

namespace {

bool plain_decimal(const std::string& text) {
    std::size_t at = 0;
    while (at < text.size() && std::isspace(static_cast<unsigned char>(text[at]))) {
        ++at;
    }
    if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
        ++at;
    }
    std::size_t digits = 0;
    for (; at < text.size() && std::isdigit(static_cast<unsigned char>(text[at])); ++at) {
        ++digits;
    }
    if (digits > 15) {
        return false;
    }
    if (at < text.size() && text[at] == '.') {
        ++at;
        while (at < text.size() && std::isdigit(static_cast<unsigned char>(text[at]))) {
            ++at;
        }
    }
    // a letter could carry the floating-point reading further: an exponent, a hexadecimal
    // form, inf or nan
    return at == text.size() || std::isalpha(static_cast<unsigned char>(text[at])) == 0;
}

std::int64_t expected_microseconds(double product) {
    if (std::isnan(product)) {
        return 0;
    }
    if (product >= 9223372036854775808.0) {
        return INT64_MAX;
    }
    if (product < -9223372036854775808.0) {
        return INT64_MIN;
    }
    return static_cast<std::int64_t>(std::trunc(product));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
    const std::string text = as_word(data, size);
    const timeout_pair pair = parse_timeout(text.c_str());
    const long seconds = std::strtol(text.c_str(), nullptr, 10);
    FUZZ_CHECK(pair.seconds == seconds);
    const double product =
        (std::strtod(text.c_str(), nullptr) - static_cast<double>(seconds)) * 1e6;
    FUZZ_CHECK(pair.microseconds == expected_microseconds(product));
    if (plain_decimal(text)) {
        // a fraction that rounds up to a whole second reads as 1000000 µs
        FUZZ_CHECK(pair.microseconds >= -1000000 && pair.microseconds <= 1000000);
        FUZZ_CHECK(!(pair.seconds > 0 && pair.microseconds < 0));
        FUZZ_CHECK(!(pair.seconds < 0 && pair.microseconds > 0));
    }
    return 0;
}
