# SPDX-License-Identifier: BSD-2-Clause
# A build for macOS on x86-64, with Zig's C++ compiler and the macOS headers and libraries
# it carries (cmake/zig.cmake). It can't run here: the test command compiles and links it,
# with -Werror, so that a change that breaks the macOS build fails the run.
set(CMAKE_SYSTEM_NAME Darwin)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(ferrox_zig_target x86_64-macos)
include(${CMAKE_CURRENT_LIST_DIR}/zig.cmake)
