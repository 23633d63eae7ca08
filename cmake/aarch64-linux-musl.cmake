# SPDX-License-Identifier: BSD-2-Clause
# A static build for ARM64 Linux on musl, with Zig's C++ compiler (cmake/zig.cmake): one
# binary that runs on any ARM64 Linux. Here it runs under qemu-user, which CTest and the
# test discovery use as the emulator (a static binary needs no C library of its target).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(ferrox_zig_target aarch64-linux-musl)
include(${CMAKE_CURRENT_LIST_DIR}/zig.cmake)
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64)
