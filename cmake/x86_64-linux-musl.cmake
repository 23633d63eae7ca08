# SPDX-License-Identifier: BSD-2-Clause
# A static build for x86-64 Linux on musl, with Zig's C++ compiler (cmake/zig.cmake): one
# binary that runs on any x86-64 Linux. It runs on this machine as it is.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(ferrox_zig_target x86_64-linux-musl)
include(${CMAKE_CURRENT_LIST_DIR}/zig.cmake)
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)
