# SPDX-License-Identifier: BSD-2-Clause
# The hardening that distributions give their packages: a strong stack protector, checked
# string and memory calls (_FORTIFY_SOURCE, which needs optimisation, so not in Debug), a
# read-only relocation table resolved at start (relro, now) and, where the compiler has
# them, stack clash protection (-fstack-clash-protection) and control-flow protection
# (-fcf-protection: CET on x86, which other targets don't have). A position-independent
# executable is left to the compiler, whose default it is wherever distributions build;
# scripts/package.sh checks the packaged binary for them with readelf and hardening-check.
# Each flag is added only where the flags this build was given say nothing of their own:
# CMAKE_CXX_FLAGS and CMAKE_EXE_LINKER_FLAGS, which CMake fills from a distribution's
# CXXFLAGS and LDFLAGS, stay in charge.
include(CheckCXXSourceCompiles)
include(CheckCXXCompilerFlag)

# A flag that the compiler takes but ignores for the target (clang's stack clash protection on
# ARM64: "argument unused during compilation") counts as missing: under -Werror it would fail
# every compile.
set(CMAKE_REQUIRED_FLAGS -Werror)
if(NOT CMAKE_CXX_FLAGS MATCHES "-f(no-)?stack-clash-protection")
  check_cxx_compiler_flag(-fstack-clash-protection FERROX_HAVE_STACK_CLASH_PROTECTION)
  if(FERROX_HAVE_STACK_CLASH_PROTECTION)
    add_compile_options(-fstack-clash-protection)
  endif()
endif()
if(NOT CMAKE_CXX_FLAGS MATCHES "-fcf-protection")
  check_cxx_compiler_flag(-fcf-protection FERROX_HAVE_CF_PROTECTION)
  if(FERROX_HAVE_CF_PROTECTION)
    add_compile_options(-fcf-protection)
  endif()
endif()

unset(CMAKE_REQUIRED_FLAGS)

if(NOT CMAKE_CXX_FLAGS MATCHES "-f(no-)?stack-protector")
  add_compile_options(-fstack-protector-strong)
endif()

if(NOT CMAKE_CXX_FLAGS MATCHES "_FORTIFY_SOURCE")
  # Some compilers define it themselves when optimising (Ubuntu's, for one): leave theirs.
  set(CMAKE_REQUIRED_FLAGS -O2)
  check_cxx_source_compiles("
    #ifdef _FORTIFY_SOURCE
    #error the compiler defines _FORTIFY_SOURCE
    #endif
    int main() { return 0; }" FERROX_COMPILER_LEAVES_FORTIFY)
  # Level 3 follows sizes known only at run time; it needs the compiler's
  # __builtin_dynamic_object_size, and the C library treats it as 2 where it is older.
  check_cxx_source_compiles("
    #if !defined(__has_builtin) || !__has_builtin(__builtin_dynamic_object_size)
    #error no __builtin_dynamic_object_size
    #endif
    int main() { return 0; }" FERROX_HAVE_DYNAMIC_OBJECT_SIZE)
  unset(CMAKE_REQUIRED_FLAGS)
  if(FERROX_COMPILER_LEAVES_FORTIFY)
    if(FERROX_HAVE_DYNAMIC_OBJECT_SIZE)
      set(fortify_level 3)
    else()
      set(fortify_level 2)
    endif()
    add_compile_definitions(
      $<$<CONFIG:Release,RelWithDebInfo,MinSizeRel>:_FORTIFY_SOURCE=${fortify_level}>)
  endif()
endif()

if(NOT CMAKE_EXE_LINKER_FLAGS MATCHES "relro")
  add_link_options(LINKER:-z,relro)
endif()
if(NOT CMAKE_EXE_LINKER_FLAGS MATCHES "-z[, ](now|lazy)")
  add_link_options(LINKER:-z,now)
endif()

