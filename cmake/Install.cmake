# Install layout: the daemon, its systemd unit and its manual page, the
# client that the unit starts and an example of its configuration.
#
#   cmake --install build --prefix /usr            (DESTDIR=... to stage)
#
#   <prefix>/sbin/quorVixd
#   <prefix>/lib/systemd/system/quorVixd.service
#   <prefix>/share/man/man8/quorVixd.8
#   <prefix>/libexec/quorvixd/vpnc            Debian's vpnc, stdout line-buffered
#   <prefix>/libexec/quorvixd/quorvix-script  runs Debian's vpnc-script
#   <prefix>/share/doc/quorvixd/examples/vpnc.conf  the configuration
#   <prefix>/share/doc/quorvixd/examples/own-client.conf, own-config.conf,
#     encrypted-config.conf                   drop-ins for the unit
#
# The unit maps libexec/quorvixd to the daemon's compiled-in /opt/quorVix/bin
# and /opt/quorVix/etc in its own mount namespace: nothing is installed under
# /opt.
#
# Nothing under tests/ or bench/ is installed.

include(GNUInstallDirs)

# Directories are created rwxr-xr-x whatever the umask of the one who
# installs: the package inherits these modes.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE
    GROUP_READ GROUP_EXECUTE
    WORLD_READ WORLD_EXECUTE)

# Every install writes the list of installed files to install_manifest.txt in
# the build tree, cpack's and the packaging tests' too. After
# `sudo cmake --install build`, that file belongs to root and the next
# install by the tree's owner could not write it: each install therefore
# first removes it (the tree's owner may, as the owner of its directory), and
# writes a fresh one at its end as usual.
install(CODE "file(REMOVE \"${PROJECT_BINARY_DIR}/install_manifest.txt\")")

install(TARGETS quorVixd RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})

install(FILES ${PROJECT_SOURCE_DIR}/man/quorVixd.8
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)

install(PROGRAMS ${PROJECT_SOURCE_DIR}/packaging/client/vpnc
                 ${PROJECT_SOURCE_DIR}/packaging/client/quorvix-script
        DESTINATION libexec/quorvixd)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/client/vpnc.conf
              ${PROJECT_SOURCE_DIR}/packaging/client/own-client.conf
              ${PROJECT_SOURCE_DIR}/packaging/client/own-config.conf
              ${PROJECT_SOURCE_DIR}/packaging/client/encrypted-config.conf
        DESTINATION share/doc/quorvixd/examples)

# The unit's ExecStart= names the installed daemon, and its
# BindReadOnlyPaths= the installed client, so it depends on the prefix,
# which `cmake --install --prefix` (and CPack) choose only at install
# time. The unit is therefore written by the install step itself, into a
# scratch directory of its own (two installs of one build tree may run at
# once), and installed from there like any other file: DESTDIR and the
# install manifest apply as usual.
if(IS_ABSOLUTE "${CMAKE_INSTALL_SBINDIR}")
  set(quorvix_unit_sbindir "${CMAKE_INSTALL_SBINDIR}")
else()
  set(quorvix_unit_sbindir "\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_SBINDIR}")
endif()
# The scratch root is made here, by the tree's owner, so that an install by
# root (sudo cmake --install) does not leave it owned by root.
file(MAKE_DIRECTORY "${PROJECT_BINARY_DIR}/packaging")
install(CODE "
  set(QUORVIX_SBINDIR \"${quorvix_unit_sbindir}\")
  set(quorvix_unit_template \"${PROJECT_SOURCE_DIR}/packaging/quorVixd.service.in\")
  set(quorvix_unit_scratch_root \"${PROJECT_BINARY_DIR}/packaging\")
")
install(CODE [[
  string(REGEX REPLACE "/+" "/" QUORVIX_SBINDIR "${QUORVIX_SBINDIR}")
  string(REGEX REPLACE "/+" "/" QUORVIX_CLIENTDIR "${CMAKE_INSTALL_PREFIX}/libexec/quorvixd")
  string(RANDOM LENGTH 16 quorvix_unit_tag)
  set(quorvix_unit_scratch "${quorvix_unit_scratch_root}/unit-${quorvix_unit_tag}")
  configure_file("${quorvix_unit_template}"
                 "${quorvix_unit_scratch}/quorVixd.service" @ONLY)
  file(INSTALL DESTINATION "${CMAKE_INSTALL_PREFIX}/lib/systemd/system"
       TYPE FILE
       PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
       FILES "${quorvix_unit_scratch}/quorVixd.service")
  file(REMOVE_RECURSE "${quorvix_unit_scratch}")
]])
