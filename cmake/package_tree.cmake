# SPDX-License-Identifier: BSD-2-Clause
# Run by CPack (CPACK_PRE_BUILD_SCRIPTS) on its staging tree, once for each package format:
# the manual page gzipped, as both formats' checkers expect, and what only one format
# carries or puts elsewhere. Debian wants the licence in a machine-readable copyright file and NEWS.md as
# changelog.gz beside it; an RPM marks a licence file as such and keeps its changelog in
# the package's header. gzip -n stores no name and no time, so the bytes repeat.
set(root ${CPACK_TEMPORARY_INSTALL_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX})
set(source ${CPACK_FERROX_SOURCE_DIR})
set(readable OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)

function(gzip_to input output)
  execute_process(COMMAND gzip -n -9 -c ${input} OUTPUT_FILE ${output} RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "gzip ${input}: failed")
  endif()
  file(CHMOD ${output} PERMISSIONS ${readable})
endfunction()

# The newest entry of NEWS.md, which must be the version being packaged: its date and its
# lines.
file(READ ${source}/NEWS.md news)
if(NOT news MATCHES "\n## ([0-9.]+) \\(([0-9]+-[0-9]+-[0-9]+)\\)\n\n(.*)")
  message(FATAL_ERROR "NEWS.md: no entry headed \"## <version> (<date>)\"")
endif()
set(news_version ${CMAKE_MATCH_1})
set(news_date ${CMAKE_MATCH_2})
string(REGEX REPLACE "\n\n## .*" "\n" news_entry "${CMAKE_MATCH_3}")
if(NOT news_version STREQUAL CPACK_PACKAGE_VERSION)
  message(FATAL_ERROR "NEWS.md: the newest entry is ${news_version}, "
                      "the package ${CPACK_PACKAGE_VERSION}")
endif()

# The debug information goes to a file of its own, named by the binary's build id as
# debuggers look for it (/usr/lib/debug/.build-id/xx/rest.debug), under
# CPACK_FERROX_DEBUG_ROOT/<generator>; the binary is stripped, of the compilers' names and
# versions too, as a distribution's strip takes them, and names the debug file in its
# .gnu_debuglink. The same sources give the same debug file (paths in it are relative to
# the source tree: -ffile-prefix-map), so the same build id.
set(binary ${root}/${CPACK_FERROX_BINARY})
execute_process(COMMAND ${CPACK_FERROX_READELF} -n ${binary} OUTPUT_VARIABLE notes
                COMMAND_ERROR_IS_FATAL ANY)
if(NOT notes MATCHES "Build ID: ([0-9a-f][0-9a-f])([0-9a-f]+)")
  message(FATAL_ERROR "${binary}: no build id")
endif()
set(debug_tree ${CPACK_FERROX_DEBUG_ROOT}/${CPACK_GENERATOR})
set(debug_file ${debug_tree}/usr/lib/debug/.build-id/${CMAKE_MATCH_1}/${CMAKE_MATCH_2}.debug)
file(REMOVE_RECURSE ${debug_tree})
get_filename_component(debug_directory ${debug_file} DIRECTORY)
file(MAKE_DIRECTORY ${debug_directory})
execute_process(COMMAND ${CPACK_FERROX_OBJCOPY} --remove-section=.comment ${binary}
                COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND ${CPACK_FERROX_OBJCOPY} --only-keep-debug --compress-debug-sections
                        ${binary} ${debug_file}
                COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND ${CPACK_FERROX_STRIP} --strip-all ${binary} COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND ${CPACK_FERROX_OBJCOPY} --add-gnu-debuglink=${debug_file} ${binary}
                COMMAND_ERROR_IS_FATAL ANY)
file(CHMOD ${debug_file} PERMISSIONS ${readable})
gzip_to(${root}/${CPACK_FERROX_MANUAL} ${root}/${CPACK_FERROX_MANUAL}.gz)
file(REMOVE ${root}/${CPACK_FERROX_MANUAL})

if(CPACK_GENERATOR STREQUAL "DEB")
  # Debian's zsh looks for packages' completions in vendor-completions (site-functions is
  # left to the local administrator)
  file(MAKE_DIRECTORY ${root}/share/zsh/vendor-completions)
  file(RENAME ${root}/share/zsh/site-functions/_ferrox ${root}/share/zsh/vendor-completions/_ferrox)
  file(REMOVE_RECURSE ${root}/share/zsh/site-functions)
  set(doc ${root}/share/doc/ferrox)
  file(MAKE_DIRECTORY ${doc})
  gzip_to(${source}/NEWS.md ${doc}/changelog.gz)
  # the licence's conditions, as one indented paragraph of the copyright file
  file(READ ${source}/LICENSE licence)
  string(REGEX REPLACE "^.*\nCopyright \\(c\\) ([0-9]+), ([^\n]+)\n\n" "" conditions "${licence}")
  set(holder "${CMAKE_MATCH_1} ${CMAKE_MATCH_2}")
  string(REGEX REPLACE "\n+$" "" conditions "${conditions}")
  string(REPLACE "\n\n" "\n.\n" conditions "${conditions}")
  string(REPLACE "\n" "\n " conditions "${conditions}")
  file(WRITE ${doc}/copyright
"Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: ferrox

Files: *
Copyright: ${holder}
License: BSD-2-Clause
 ${conditions}
")
  file(CHMOD ${doc}/copyright PERMISSIONS ${readable})
  set(overrides ${root}/share/lintian/overrides)
  file(MAKE_DIRECTORY ${overrides})
  file(COPY_FILE ${source}/packaging/lintian-overrides ${overrides}/ferrox)
  file(CHMOD ${overrides}/ferrox PERMISSIONS ${readable})
elseif(CPACK_GENERATOR STREQUAL "RPM")
  set(licences ${root}/share/licenses/ferrox)
  file(MAKE_DIRECTORY ${licences})
  file(COPY_FILE ${source}/LICENSE ${licences}/LICENSE)
  file(CHMOD ${licences}/LICENSE PERMISSIONS ${readable})
  execute_process(COMMAND ${CMAKE_COMMAND} -E env LC_ALL=C date -u -d ${news_date} "+%a %b %d %Y"
                  OUTPUT_VARIABLE day OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
  string(REPLACE "`" "" news_entry "${news_entry}")
  file(WRITE ${CPACK_RPM_CHANGELOG_FILE}
       "* ${day} ${CPACK_PACKAGE_VENDOR} - ${CPACK_PACKAGE_VERSION}-1\n${news_entry}")
endif()

# Directories are 0755 whatever the umask of whoever builds the packages (what CPack made
# follows CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS; this covers what was made above).
file(GLOB_RECURSE directories LIST_DIRECTORIES true ${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*
     ${debug_tree}/*)
foreach(directory IN LISTS directories)
  if(IS_DIRECTORY ${directory} AND NOT IS_SYMLINK ${directory})
    file(CHMOD ${directory} PERMISSIONS ${readable} OWNER_EXECUTE GROUP_EXECUTE WORLD_EXECUTE)
  endif()
endforeach()
