# Read by cpack once for each generator (CPACK_PROJECT_CONFIG_FILE), before
# anything is installed or packaged.
#
#   - refuses to package a daemon built without the hardening flags, and
#     says which Debian package brings a missing tool (dpkg-shlibdeps, file,
#     rpmbuild), and that scripts/setup.sh package installs them all;
#   - sets SOURCE_DATE_EPOCH, unless the caller did: the committer date of
#     the last commit, or outside a git checkout the newest time stamp of
#     the files the package is made from. CPack and rpmbuild take every
#     time stamp in the package from it;
#   - writes the package's changelog, dated SOURCE_DATE_EPOCH.

if(NOT CPACK_QUORVIX_HARDENED)
  message(FATAL_ERROR
    "the daemon of this build tree is not hardened (CMAKE_BUILD_TYPE="
    "'${CPACK_QUORVIX_BUILD_TYPE}', QUORVIX_HARDENING or QUORVIX_SANITIZE): "
    "packages are made from a Release or RelWithDebInfo build only")
endif()

# The tools are looked for here, so that a missing one is named together
# with the command that installs it.
if(CPACK_GENERATOR STREQUAL "DEB")
  find_program(QUORVIX_DPKG_SHLIBDEPS dpkg-shlibdeps)
  if(NOT QUORVIX_DPKG_SHLIBDEPS)
    message(FATAL_ERROR
      "dpkg-shlibdeps not found: without it the package would have no "
      "Depends field. Install the Debian package dpkg-dev, or all that "
      "cpack needs with: sudo scripts/setup.sh package")
  endif()
  # CPack's Debian generator runs file(1) to find the programs whose
  # libraries make the Depends field.
  find_program(QUORVIX_FILE file)
  if(NOT QUORVIX_FILE)
    message(FATAL_ERROR
      "file not found: cpack needs it for the package's Depends field. "
      "Install the Debian package file, or all that cpack needs with: "
      "sudo scripts/setup.sh package")
  endif()
elseif(CPACK_GENERATOR STREQUAL "RPM")
  find_program(QUORVIX_RPMBUILD rpmbuild)
  if(NOT QUORVIX_RPMBUILD)
    message(FATAL_ERROR
      "rpmbuild not found: it makes the RPM. Install the Debian package rpm, "
      "or all that cpack needs with: sudo scripts/setup.sh package")
  endif()
endif()

set(quorvix_source "${CPACK_QUORVIX_SOURCE_DIR}")
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})
  # The checkout may belong to another user (git's safe.directory): its
  # date is read all the same, as the build uses its files anyway.
  execute_process(COMMAND git -c "safe.directory=${quorvix_source}"
                          -C "${quorvix_source}" log -1 --format=%ct
                  OUTPUT_VARIABLE quorvix_epoch OUTPUT_STRIP_TRAILING_WHITESPACE
                  RESULT_VARIABLE status ERROR_QUIET)
  if(NOT status EQUAL 0 OR NOT quorvix_epoch MATCHES "^[0-9]+$")
    set(quorvix_epoch 0)
    file(GLOB_RECURSE quorvix_inputs
         "${quorvix_source}/CMakeLists.txt" "${quorvix_source}/LICENSE"
         "${quorvix_source}/cmake/*" "${quorvix_source}/packaging/*"
         "${quorvix_source}/man/*" "${quorvix_source}/supervisor/*"
         "${quorvix_source}/relay/*")
    foreach(input IN LISTS quorvix_inputs)
      file(TIMESTAMP "${input}" time "%s" UTC)
      if(time GREATER quorvix_epoch)
        set(quorvix_epoch ${time})
      endif()
    endforeach()
  endif()
  set(ENV{SOURCE_DATE_EPOCH} ${quorvix_epoch})
endif()
if(NOT "$ENV{SOURCE_DATE_EPOCH}" MATCHES "^[0-9]+$")
  message(FATAL_ERROR "SOURCE_DATE_EPOCH is '$ENV{SOURCE_DATE_EPOCH}', not a number of seconds")
endif()

# string(TIMESTAMP) reads SOURCE_DATE_EPOCH.
set(quorvix_scratch "${CPACK_PACKAGE_DIRECTORY}/_CPack_Packages/quorvix-${CPACK_GENERATOR}")
set(PROJECT_VERSION "${CPACK_PACKAGE_VERSION}")
set(QUORVIX_PACKAGE_MAINTAINER "${CPACK_QUORVIX_MAINTAINER}")
if(CPACK_GENERATOR STREQUAL "DEB")
  string(TIMESTAMP quorvix_changelog_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
  set(CPACK_QUORVIX_CHANGELOG "${quorvix_scratch}/changelog")
  configure_file("${quorvix_source}/packaging/debian/changelog.in"
                 "${CPACK_QUORVIX_CHANGELOG}" @ONLY)
elseif(CPACK_GENERATOR STREQUAL "RPM")
  string(TIMESTAMP quorvix_changelog_date "%a %b %d %Y" UTC)
  set(CPACK_RPM_CHANGELOG_FILE "${quorvix_scratch}/changelog")
  configure_file("${quorvix_source}/packaging/rpm/changelog.in"
                 "${CPACK_RPM_CHANGELOG_FILE}" @ONLY)
endif()
