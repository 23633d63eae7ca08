// SPDX-License-Identifier: BSD-2-Clause
// The whole option scanner and the mode resolution on arbitrary argument vectors: the input
// is split at NUL bytes into words. Whatever the words, the scan ends in one of its outcomes
// and leaves a run state that the rest of the program can rely on.
#include "cmdline/options.hpp"
#include "driver/startup.hpp"
#include "fuzz_support.hpp"

#include <getopt.h>

#include <vector>

namespace {

constexpr std::uint32_t assigned_bits = FLAG_DEBUG | FLAG_LISTEN | FLAG_QUIET | FLAG_INPUT |
                                        FLAG_OUTPUT | FLAG_VERBOSE | FLAG_HOST | FLAG_UNIX |
                                        FLAG_CONTINUE | FLAG_NOBUF | FLAG_SUM | FLAG_ECHO;

std::vector<std::string> words_of(const unsigned char* data, std::size_t size) {
    std::vector<std::string> words{"ferrox"};
    std::string word;
    for (std::size_t at = 0; at < size && words.size() < 24; ++at) {
        if (data[at] == '\0') {
            words.push_back(word);
            word.clear();
        } else {
            word.push_back(static_cast<char>(data[at]));
        }
    }
    words.push_back(word);
    return words;
}

void check_state(const scan_result& result, int argc) {
    const std::uint32_t flags = run_state.flags;
    FUZZ_CHECK((flags & ~assigned_bits) == 0);
    FUZZ_CHECK(!(flags & FLAG_ECHO) ||
               (run_state.echo_path != nullptr && (flags & FLAG_INPUT) && (flags & FLAG_OUTPUT)));
    FUZZ_CHECK(!(flags & FLAG_UNIX) || (flags & (FLAG_LISTEN | FLAG_HOST)));
    FUZZ_CHECK(run_state.host == nullptr || (flags & FLAG_HOST));
    FUZZ_CHECK(!(flags & FLAG_LISTEN) || run_state.listen_port != nullptr);
    if (result.outcome == scan_outcome::bad_size) {
        FUZZ_CHECK(result.rejected_size <= 0);
        return;
    }
    if (result.outcome != scan_outcome::ready) {
        return;
    }
    FUZZ_CHECK(run_state.listen_port != nullptr || run_state.connect_port != nullptr);
    FUZZ_CHECK(buffer_size > 0 && run_state.sockbuf_size >= 0);
    FUZZ_CHECK(result.first_operand >= 1 && result.first_operand <= argc);
    const int operands = argc - result.first_operand;
    const resolved_mode mode = resolve_mode(flags, run_state.bind_port != nullptr,
                                            run_state.connect_port != nullptr, operands);
    if (mode.refusal == startup_refusal::none) {
        FUZZ_CHECK(mode.flags & (FLAG_INPUT | FLAG_OUTPUT));
        FUZZ_CHECK(mode.flags & (FLAG_LISTEN | FLAG_HOST));
        FUZZ_CHECK(operands == 0 || !(mode.flags & FLAG_OUTPUT));
        FUZZ_CHECK(!((mode.flags & FLAG_LISTEN) && (mode.flags & FLAG_HOST)) ||
                   ((mode.flags & FLAG_INPUT) && (mode.flags & FLAG_OUTPUT) &&
                    run_state.connect_port != nullptr));
        FUZZ_CHECK(run_state.bind_port == nullptr || (mode.flags & FLAG_HOST));
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    opterr = 0;  // getopt_long's diagnostics would drown the fuzzer's own output
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
    std::vector<std::string> words = words_of(data, size);
    std::vector<char*> argv;
    for (auto& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    reset_run_state();
    const int argc = static_cast<int>(words.size());
    const scan_result result = scan_arguments(argc, argv.data());
    check_state(result, argc);
    reset_run_state();
    return 0;
}
