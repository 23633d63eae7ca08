// SPDX-License-Identifier: BSD-2-Clause
// A size argument either passes the size test with a value above 0 or is refused with the
// size message; a suffix multiplies the reading of the rest in 32-bit arithmetic.
#include "cmdline/options.hpp"
#include "fuzz_support.hpp"

#include <getopt.h>

#include <cstdint>
#include <string_view>
#include <vector>

namespace {

std::uint32_t multiplier_of(char last) {
    switch (last) {
    case 'k':
    case 'K': return 1024;
    case 'm':
    case 'M': return 1048576;
    case 'g':
    case 'G': return 1073741824;
    default: return 1;
    }
}

void check_suffix_rule(const std::string& text) {
    if (text.size() < 2 || multiplier_of(text.back()) == 1 ||
        multiplier_of(text[text.size() - 2]) != 1) {
        return;
    }
    const std::string rest = text.substr(0, text.size() - 1);
    const auto expected = static_cast<std::int32_t>(
        static_cast<std::uint32_t>(parse_size(rest.c_str())) * multiplier_of(text.back()));
    FUZZ_CHECK(parse_size(text.c_str()) == expected);
}

void check_size_test(std::string text) {
    reset_run_state();
    std::string option = "-b", port = "-p", number = "1", name = "ferrox";
    std::vector<char*> argv{name.data(), option.data(), text.data(),
                            port.data(), number.data(), nullptr};
    const std::int32_t value = parse_size(text.c_str());
    const scan_result result = scan_arguments(5, argv.data());
    if (result.outcome == scan_outcome::ready) {
        FUZZ_CHECK(value > 0 && buffer_size == value);
    } else {
        FUZZ_CHECK(result.outcome == scan_outcome::bad_size);
        FUZZ_CHECK(value <= 0 && result.rejected_size == value);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    opterr = 0;  // getopt_long's diagnostics would drown the fuzzer's own output
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
    const std::string text = as_word(data, size);
    check_suffix_rule(text);
    if (!text.empty() && text[0] != '-') {  // a leading hyphen would read as an option
        check_size_test(text);
    }
    return 0;
}
