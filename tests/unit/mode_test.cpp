// SPDX-License-Identifier: BSD-2-Clause
#include "driver/startup.hpp"
#include "scan_fixture.hpp"

namespace {

struct mode_case {
    std::vector<std::string> words;
    int operands;
    std::uint32_t flags;  // the flag word after resolution, without FLAG_ bits of no interest
    startup_refusal refusal;
};

using mode_resolution = scan_test;

constexpr std::uint32_t direction_and_role =
    FLAG_INPUT | FLAG_OUTPUT | FLAG_LISTEN | FLAG_HOST | FLAG_UNIX | FLAG_ECHO;

TEST_F(mode_resolution, completes_directions_and_refuses_contradictions) {
    const auto ok = startup_refusal::none;
    const mode_case cases[] = {
        {{"-h", "a:1"}, 0, FLAG_HOST | FLAG_INPUT, ok},
        {{"-h", "a:1", "-i"}, 2, FLAG_HOST | FLAG_INPUT, ok},
        {{"-h", "a:1", "-o"}, 0, FLAG_HOST | FLAG_OUTPUT, ok},
        {{"-h", "a:1", "-i", "-o"}, 0, FLAG_HOST | FLAG_INPUT | FLAG_OUTPUT, ok},
        {{"-h", "a:1", "-e", "log"}, 0, FLAG_HOST | FLAG_INPUT | FLAG_OUTPUT | FLAG_ECHO, ok},
        {{"-l", "1"}, 0, FLAG_LISTEN | FLAG_OUTPUT, ok},
        {{"-l", "1", "-o"}, 0, FLAG_LISTEN | FLAG_OUTPUT, ok},
        {{"-l", "1", "-i"}, 2, FLAG_LISTEN | FLAG_INPUT, ok},
        {{"-l", "1", "-i", "-o"}, 0, FLAG_LISTEN | FLAG_INPUT | FLAG_OUTPUT, ok},
        {{"-l", "1", "-e", "x"}, 0, FLAG_LISTEN | FLAG_INPUT | FLAG_OUTPUT | FLAG_ECHO, ok},
        {{"-l", "1", "-h", "a:2"}, 0, FLAG_LISTEN | FLAG_HOST | FLAG_INPUT | FLAG_OUTPUT, ok},
        {{"-l", "/s", "-u", "/t"},
         0,
         FLAG_LISTEN | FLAG_HOST | FLAG_UNIX | FLAG_INPUT | FLAG_OUTPUT,
         ok},
        {{"-U", "/s"}, 0, FLAG_LISTEN | FLAG_UNIX | FLAG_OUTPUT, ok},
        {{"-u", "/s"}, 1, FLAG_HOST | FLAG_UNIX | FLAG_INPUT, ok},
        // relay with --bind-port passes: it connects onward
        {{"-l", "1", "-h", "a:2", "-P", "3"},
         0,
         FLAG_LISTEN | FLAG_HOST | FLAG_INPUT | FLAG_OUTPUT,
         ok},
        // refusals
        {{"-l", "1", "-P", "3"}, 0, FLAG_LISTEN, startup_refusal::bind_port_without_connect},
        {{"-l", "1", "-o"},
         1,
         FLAG_LISTEN | FLAG_OUTPUT,
         startup_refusal::operands_while_receiving},
        {{"-l", "1"}, 1, FLAG_LISTEN | FLAG_OUTPUT, startup_refusal::operands_while_receiving},
        {{"-h", "a:1", "-o"},
         1,
         FLAG_HOST | FLAG_OUTPUT,
         startup_refusal::operands_while_receiving},
        {{"-h", "a:1", "-e", "x"},
         1,
         FLAG_HOST | FLAG_INPUT | FLAG_OUTPUT | FLAG_ECHO,
         startup_refusal::operands_while_receiving},
        {{"-l", "1", "-h", "a:2"},
         1,
         FLAG_LISTEN | FLAG_HOST | FLAG_INPUT | FLAG_OUTPUT,
         startup_refusal::operands_while_receiving},
        {{"-l", "1", "-h", "a"},
         0,
         FLAG_LISTEN | FLAG_HOST | FLAG_INPUT | FLAG_OUTPUT,
         startup_refusal::relay_without_target},
        {{"-U", "/s", "-h", "a"},
         0,
         FLAG_LISTEN | FLAG_HOST | FLAG_UNIX | FLAG_INPUT | FLAG_OUTPUT,
         startup_refusal::relay_without_target},
        {{"-p", "1"}, 0, 0, startup_refusal::port_without_role},
        {{"-p", "1", "-i"}, 0, FLAG_INPUT, startup_refusal::port_without_role},
    };
    for (const auto& c : cases) {
        reset_run_state();
        ASSERT_EQ(scan(c.words).outcome, scan_outcome::ready);
        const resolved_mode mode = resolve_mode(run_state.flags, run_state.bind_port != nullptr,
                                                run_state.connect_port != nullptr, c.operands);
        const std::string line =
            ::testing::PrintToString(c.words) + " with " + std::to_string(c.operands);
        EXPECT_EQ(mode.refusal, c.refusal) << line;
        EXPECT_EQ(mode.flags & direction_and_role, c.flags) << line;
    }
}

}  // namespace
