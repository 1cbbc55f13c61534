# The Debian package, built by CPack from the install rules of Install.cmake:
#
#   cmake --build build && (cd build && cpack -G DEB)
#
# It holds the daemon in /usr/sbin, the unit in /usr/lib/systemd/system and
# the manual page, compressed, in /usr/share/man/man8, with the copyright
# file and changelog that every Debian package carries. Installing it
# neither enables nor starts the service: the client under /opt/quorVix and
# its configuration come from elsewhere and must be in place first.

set(QUORVIX_PACKAGE_MAINTAINER "quorVix maintainers <maintainers@quorvix.invalid>"
    CACHE STRING "Maintainer field of the Debian package: Name <address>")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quorVixd)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "quorVix")
set(CPACK_PACKAGE_CONTACT "${QUORVIX_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "supervisor that keeps the quorVix VPN client running")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# The build type keeps debugging information; the package does not.
set(CPACK_STRIP_FILES ON)

# Debian wants lower case package names.
set(CPACK_DEBIAN_PACKAGE_NAME quorvixd)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${QUORVIX_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
"quorVixd starts the quorVix VPN client, restarts it one second after it
ends, and stops it on SIGTERM. Every line that the client prints to its
standard output or standard error is copied into the system log under the
identity quorVix. It runs as a systemd service.")
# Depends: from the libraries the stripped daemon links (libc, at least).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)

# The maintainer scripts do for the unit only what Debian expects of every
# package that ships one, without enabling, starting or restarting it: they
# let systemd see a new or changed unit, stop the service when the package is
# removed, and delete the links of an enabled unit when it is purged.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/packaging/debian/postinst
    ${PROJECT_SOURCE_DIR}/packaging/debian/prerm
    ${PROJECT_SOURCE_DIR}/packaging/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

# What a Debian package has beyond the plain install tree (compressed manual
# page, copyright file, changelog, lintian overrides) is added to CPack's
# staging tree once the install rules have filled it, so that
# `cmake --install` stays plain. The changelog's date is that of the
# configure step, or SOURCE_DATE_EPOCH when set.
string(TIMESTAMP quorvix_changelog_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
configure_file(${PROJECT_SOURCE_DIR}/packaging/debian/changelog.in
               ${PROJECT_BINARY_DIR}/packaging/debian/changelog @ONLY)
set(CPACK_QUORVIX_DEBIAN_CHANGELOG ${PROJECT_BINARY_DIR}/packaging/debian/changelog)
set(CPACK_QUORVIX_DEBIAN_COPYRIGHT ${PROJECT_SOURCE_DIR}/packaging/debian/copyright)
set(CPACK_QUORVIX_LINTIAN_OVERRIDES ${PROJECT_SOURCE_DIR}/packaging/debian/lintian-overrides)
set(CPACK_QUORVIX_STRIP ${CMAKE_STRIP})
set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/packaging/debian/finish-staging.cmake)
if(CMAKE_VERSION VERSION_LESS 3.19)
  message(WARNING "CPack before CMake 3.19 ignores CPACK_PRE_BUILD_SCRIPTS: "
                  "the Debian package would lack its copyright file and changelog")
endif()

include(CPack)
