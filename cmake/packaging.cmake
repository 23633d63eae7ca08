# SPDX-License-Identifier: BSD-2-Clause
# The Debian package and the RPM, built by CPack from the install rules. What only one of
# them carries (the Debian copyright file and changelog, the RPM's licence file) and the
# gzipped manual page are put into CPack's staging tree by cmake/package_tree.cmake, which
# also splits the debug information off the binary (the release preset builds with -g):
# the packages carry the stripped binary, and the debug file is left, under its build id,
# for scripts/package.sh to make the -dbgsym .deb of. scripts/package.sh builds them all and
# runs lintian and rpmlint over them. (packaging/ferrox.spec builds the RPM, the source RPM
# and the -debuginfo RPM the way Fedora and openSUSE do, from the source release.)
set(CPACK_PACKAGE_NAME ferrox)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "the ferrox authors")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "move a byte stream between standard streams or files and a socket")
set(CPACK_PACKAGE_DESCRIPTION
    "ferrox moves a byte stream between a process's standard streams (or
named files) and one TCP or UNIX-domain stream socket: as a client, as a
listener or as a relay, with progress dots, a throughput summary, an
Adler-32 checksum and an echo log.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# stripped by cmake/package_tree.cmake, which keeps the debug information apart
set(CPACK_STRIP_FILES OFF)
# directories in the packages are 0755 whatever the umask of whoever builds them
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/package_tree.cmake)
# read by the script above
set(CPACK_FERROX_SOURCE_DIR ${PROJECT_SOURCE_DIR})
set(CPACK_FERROX_MANUAL ${CMAKE_INSTALL_MANDIR}/man1/ferrox.1)
set(CPACK_FERROX_BINARY ${CMAKE_INSTALL_BINDIR}/ferrox)
set(CPACK_FERROX_STRIP ${CMAKE_STRIP})
set(CPACK_FERROX_OBJCOPY ${CMAKE_OBJCOPY})
set(CPACK_FERROX_READELF ${CMAKE_READELF})
set(CPACK_FERROX_DEBUG_ROOT ${PROJECT_BINARY_DIR}/debug-symbols)

# The project has no contact address yet: the maintainer is named without one, and the
# checkers' complaints about that are overridden (packaging/lintian-overrides,
# packaging/rpmlint.toml) rather than met with an invented address.
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "the ferrox authors")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION}")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)

set(CPACK_RPM_FILE_NAME RPM-DEFAULT)
set(CPACK_RPM_PACKAGE_SUMMARY
    "Move a byte stream between standard streams or files and a socket")
set(CPACK_RPM_PACKAGE_LICENSE BSD-2-Clause)
set(CPACK_RPM_PACKAGE_GROUP "Applications/Internet")
set(CPACK_RPM_PACKAGE_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION}")
set(CPACK_PACKAGE_RELOCATABLE OFF)
# the same bytes from every build of the same sources: times from SOURCE_DATE_EPOCH, no
# host name
set(CPACK_RPM_SPEC_MORE_DEFINE "%define _buildhost reproducible
%define use_source_date_epoch_as_buildtime 1
%define clamp_mtime_to_source_date_epoch 1")
# written from NEWS.md by cmake/package_tree.cmake
set(CPACK_RPM_CHANGELOG_FILE ${PROJECT_BINARY_DIR}/rpm-changelog)
set(CPACK_RPM_USER_FILELIST "%license /usr/share/licenses/ferrox/LICENSE")
# directories that the system's own packages own
set(CPACK_RPM_EXCLUDE_FROM_AUTO_FILELIST_ADDITION
    /usr/share/man /usr/share/man/man1 /usr/share/bash-completion
    /usr/share/bash-completion/completions /usr/share/zsh /usr/share/zsh/site-functions
    /usr/share/fish /usr/share/fish/vendor_completions.d /usr/share/licenses)
include(CPack)
