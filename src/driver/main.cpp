// SPDX-License-Identifier: BSD-2-Clause
#include "driver/connection_loop.hpp"
#include "driver/startup.hpp"

int main(int argc, char** argv) {
    reserve_standard_descriptors();
    const int first_operand = start_up(argc, argv);
    return run_connection_loop(argc - first_operand, argv + first_operand);
}
