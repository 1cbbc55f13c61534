# The Debian and RPM packages, built by CPack from the install rules of
# Install.cmake:
#
#   cmake --build build && (cd build && cpack -G DEB)      # or -G RPM
#
# Both hold the daemon in /usr/sbin, the unit in /usr/lib/systemd/system,
# the manual page, compressed, in /usr/share/man/man8, the client that the
# unit maps to /opt/quorVix in /usr/libexec/quorvixd and an example
# configuration in /usr/share/doc/quorvixd/examples, with what each kind of
# package carries besides (Debian: copyright file, changelog and lintian
# overrides; RPM: the licence file and a %changelog). Installing either
# neither enables nor starts the service: the administrator writes the
# configuration, /etc/quorVix/vpnc.conf, first.
#
# Packages are reproducible: built twice from one commit they are identical
# byte for byte. Their time stamps, and the date of their changelogs, are
# SOURCE_DATE_EPOCH, by default the date of the last commit (see
# packaging/cpack-project.cmake).

# Whoever builds the packages for others sets their own name and address
# here. The default is a placeholder in the reserved .invalid domain, so a
# package that carries it is visibly unofficial.
set(QUORVIX_PACKAGE_MAINTAINER "Unofficial quorVixd build <unset@quorvix.invalid>"
    CACHE STRING "Maintainer of the Debian package and packager of the RPM: Name <address>")
set(QUORVIX_PACKAGE_URL "https://quorvix.invalid/quorVixd"
    CACHE STRING "Home page named by the packages")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quorVixd)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The quorVixd authors")
set(CPACK_PACKAGE_CONTACT "${QUORVIX_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_HOMEPAGE_URL "${QUORVIX_PACKAGE_URL}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "supervisor that keeps the quorVix VPN client running")
set(CPACK_PACKAGE_DESCRIPTION
"quorVixd starts the quorVix VPN client, restarts it one second after it
ends, and stops it on SIGTERM. Every line that the client prints to its
standard output or standard error is copied into the system log under the
identity quorVix. It runs as a systemd service.")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# The unit names /usr/sbin/quorVixd: the packages cannot be moved elsewhere.
set(CPACK_PACKAGE_RELOCATABLE OFF)
# The build type keeps debugging information; the packages do not.
set(CPACK_STRIP_FILES ON)

# Debian. Package names are lower case there.
set(CPACK_DEBIAN_PACKAGE_NAME quorvixd)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${QUORVIX_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION}")
# Depends: from the libraries the stripped daemon links (libc, at least).
# Without dpkg-shlibdeps CPack would leave Depends out: the package build
# fails instead (packaging/cpack-project.cmake).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# And what the client in /usr/libexec/quorvixd runs: Debian's vpnc, the
# vpnc-script that its link names, and stdbuf (coreutils since 7.5).
# coreutils is essential, and lintian wants a dependency on it versioned.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "vpnc, vpnc-scripts, coreutils (>= 7.5)")
# vpnc-script looks up its parent with ps; without it, every connect logs
# "ps: not found" (harmless: the script falls back to the parent's pid).
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "procps")
# The maintainer scripts do for the unit only what Debian expects of every
# package that ships one, without enabling, starting or restarting it: they
# let systemd see a new or changed unit, stop the service when the package is
# removed, and delete the links of an enabled unit when it is purged.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/packaging/debian/postinst
    ${PROJECT_SOURCE_DIR}/packaging/debian/prerm
    ${PROJECT_SOURCE_DIR}/packaging/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

# RPM. Licence, changelog and scriptlets as an RPM-based system expects them;
# the scriptlets do what the Debian maintainer scripts do: reload systemd on
# install, never enable, start or restart the service, and stop and disable
# it when the package is erased.
set(CPACK_RPM_PACKAGE_NAME quorvixd)
set(CPACK_RPM_FILE_NAME RPM-DEFAULT)
set(CPACK_RPM_PACKAGE_RELEASE 1)
set(CPACK_RPM_PACKAGE_LICENSE MIT)
set(CPACK_RPM_PACKAGE_GROUP "System Environment/Daemons")
set(CPACK_RPM_PACKAGE_SUMMARY "Supervisor that keeps the quorVix VPN client running")
set(CPACK_RPM_PACKAGE_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION}")
set(CPACK_RPM_PACKAGE_URL "${QUORVIX_PACKAGE_URL}")
set(CPACK_RPM_PACKAGE_RELOCATABLE OFF)
set(CPACK_RPM_PACKAGE_REQUIRES "vpnc, coreutils >= 7.5")
set(CPACK_RPM_POST_INSTALL_SCRIPT_FILE ${PROJECT_SOURCE_DIR}/packaging/rpm/post)
set(CPACK_RPM_PRE_UNINSTALL_SCRIPT_FILE ${PROJECT_SOURCE_DIR}/packaging/rpm/preun)
set(CPACK_RPM_POST_UNINSTALL_SCRIPT_FILE ${PROJECT_SOURCE_DIR}/packaging/rpm/postun)
# The package owns its files and its own directories, never those of the
# system that it only puts files into.
set(CPACK_RPM_EXCLUDE_FROM_AUTO_FILELIST_ADDITION
    /usr/sbin /usr/lib/systemd /usr/lib/systemd/system /usr/libexec
    /usr/share/man /usr/share/man/man8 /usr/share/licenses)
set(CPACK_RPM_USER_FILELIST "%license /usr/share/licenses/quorvixd/LICENSE")
# The whole package is a binary: no debuginfo package of its own.
set(CPACK_RPM_DEBUGINFO_PACKAGE OFF)
# Packager: the maintainer above. No /usr/lib/.build-id links, which would
# make the package own directories there. Reproducible: file times clamped
# to SOURCE_DATE_EPOCH, which is also the build time; no build host name.
set(CPACK_RPM_SPEC_MORE_DEFINE
"%define packager ${QUORVIX_PACKAGE_MAINTAINER}
%define _build_id_links none
%define clamp_mtime_to_source_date_epoch 1
%define use_source_date_epoch_as_buildtime 1
%define _buildhost reproducible")

# What a package has beyond the plain install tree (compressed manual page,
# changelog, licence) is generated at package time, when SOURCE_DATE_EPOCH is
# known (cpack-project.cmake), and added to CPack's staging tree once the
# install rules have filled it (finish-staging.cmake), so that
# `cmake --install` stays plain.
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/packaging/cpack-project.cmake)
set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/packaging/finish-staging.cmake)
set(CPACK_POST_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/packaging/finish-package.cmake)
set(CPACK_QUORVIX_SOURCE_DIR ${PROJECT_SOURCE_DIR})
set(CPACK_QUORVIX_MAINTAINER "${QUORVIX_PACKAGE_MAINTAINER}")
set(CPACK_QUORVIX_STRIP ${CMAKE_STRIP})
set(CPACK_QUORVIX_HARDENED ${quorvix_hardened})
set(CPACK_QUORVIX_BUILD_TYPE "${CMAKE_BUILD_TYPE}")
if(CMAKE_VERSION VERSION_LESS 3.19)
  message(WARNING "CPack before CMake 3.19 ignores CPACK_PRE_BUILD_SCRIPTS and "
                  "CPACK_POST_BUILD_SCRIPTS: the packages would lack their copyright "
                  "file and changelog, and depend on the umask")
endif()

include(CPack)
