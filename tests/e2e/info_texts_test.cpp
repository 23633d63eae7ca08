// SPDX-License-Identifier: BSD-2-Clause
#include "harness.hpp"

#include <gtest/gtest.h>

namespace {

using namespace e2e;

struct info_case {
    const char* option;
    const char* expected_file;
};

// Run under a name with a directory part: the texts must name the program as invoked.
TEST(info_texts, print_byte_for_byte_on_stdout_with_status_zero) {
    const info_case cases[] = {
        {"--help", "help.txt"}, {"-H", "help.txt"},           {"--version", "version.txt"},
        {"-V", "version.txt"},  {"--credits", "credits.txt"}, {"-C", "credits.txt"},
    };
    temp_dir dir;
    for (const auto& c : cases) {
        spawn_options options;
        options.argv0 = "./bin/ferrox-under-test";
        process child = spawn(dir, {c.option}, options);
        const exit_result result = child.wait(20s);
        EXPECT_TRUE(result.exited) << c.option;
        EXPECT_EQ(result.status, 0) << c.option;
        EXPECT_EQ(child.out(), read_file(std::string(FERROX_EXPECTED_DIR) + "/" + c.expected_file))
            << c.option;
        EXPECT_EQ(child.err(), "") << c.option;
    }
}

}  // namespace
