# SPDX-License-Identifier: BSD-2-Clause
# The part of the Zig toolchain files (cmake/*-musl.cmake, cmake/*-macos.cmake) that they
# share: `zig c++` for the target that the including file names in ferrox_zig_target, Zig's
# own archiver, and no library or package from this machine (whose are glibc's). The Zig
# is the one that scripts/lib/zig.sh installs: FERROX_ZIG names it, or else it is looked for
# where that script puts it.
if(DEFINED ENV{FERROX_ZIG})
  set(ferrox_zig "$ENV{FERROX_ZIG}")
else()
  if(DEFINED ENV{FERROX_TOOLS})
    set(ferrox_tools "$ENV{FERROX_TOOLS}")
  elseif(DEFINED ENV{XDG_CACHE_HOME})
    set(ferrox_tools "$ENV{XDG_CACHE_HOME}/ferrox-tools")
  else()
    set(ferrox_tools "$ENV{HOME}/.cache/ferrox-tools")
  endif()
  set(ferrox_zig "${ferrox_tools}/zig-0.11.0/zig")
endif()
if(NOT EXISTS "${ferrox_zig}")
  message(FATAL_ERROR "no Zig at ${ferrox_zig}: scripts/install-deps.sh --all installs it "
                      "(or set FERROX_ZIG to a zig 0.11 binary)")
endif()

set(CMAKE_CXX_COMPILER "${ferrox_zig}" c++ -target ${ferrox_zig_target})
set(CMAKE_CXX_ARCHIVE_CREATE "\"${ferrox_zig}\" ar qc <TARGET> <LINK_FLAGS> <OBJECTS>")
set(CMAKE_CXX_ARCHIVE_APPEND "\"${ferrox_zig}\" ar q <TARGET> <LINK_FLAGS> <OBJECTS>")
set(CMAKE_CXX_ARCHIVE_FINISH "\"${ferrox_zig}\" ranlib <TARGET>")

# Nothing from this machine's /usr: its libraries and packages (zlib, GoogleTest's) are built
# for glibc. The tests build GoogleTest from its sources instead (tests/CMakeLists.txt).
set(CMAKE_FIND_ROOT_PATH "${CMAKE_CURRENT_LIST_DIR}/no-such-root")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
