# Run by CPack (CPACK_PRE_BUILD_SCRIPTS) between the install into its staging
# tree and the making of the package: adds what the package requires
# beyond the install tree.
#
#   - programs stripped as Debian strips them, without the .comment and
#     .note sections that CPack's plain strip leaves in;
#   - manual pages compressed with gzip -9n (best compression, without the
#     file's name and time stamp, as Debian wants them);
#   - Debian: /usr/share/doc/<package>/copyright and changelog.gz, and the
#     package's lintian overrides;
#   - RPM: the licence, /usr/share/licenses/<package>/LICENSE (the changelog
#     is in the package's header).
#
# Modes are set explicitly so that the package does not depend on the umask
# of whoever builds it.

set(root "${CPACK_TEMPORARY_DIRECTORY}")
if(NOT IS_DIRECTORY "${root}")
  message(FATAL_ERROR "no CPack staging tree at '${root}'")
endif()
# CPack leaves DESTDIR pointing at the staging tree, and file(INSTALL) would
# put it in front of the absolute paths below a second time.
set(ENV{DESTDIR} "")
find_program(QUORVIX_GZIP gzip REQUIRED)
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE
    GROUP_READ GROUP_EXECUTE
    WORLD_READ WORLD_EXECUTE)
set(file_mode OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)

# Compresses `source` into `destination_dir`/`name`.gz, mode 0644.
function(quorvix_gzip_into source destination_dir name)
  set(scratch "${CPACK_TOPLEVEL_DIRECTORY}/quorvix-gzip")
  file(MAKE_DIRECTORY "${scratch}")
  execute_process(COMMAND "${QUORVIX_GZIP}" -9n -c "${source}"
                  OUTPUT_FILE "${scratch}/${name}.gz"
                  RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "gzip of '${source}' failed: ${status}")
  endif()
  file(INSTALL "${scratch}/${name}.gz" DESTINATION "${destination_dir}"
       PERMISSIONS ${file_mode})
  file(REMOVE_RECURSE "${scratch}")
endfunction()

file(GLOB_RECURSE files LIST_DIRECTORIES false "${root}/*")

foreach(program IN LISTS files)
  # A link (the connect script's) may name a file of another package.
  if(IS_SYMLINK "${program}")
    continue()
  endif()
  file(READ "${program}" magic LIMIT 4 HEX)
  if(magic STREQUAL "7f454c46")
    execute_process(COMMAND "${CPACK_QUORVIX_STRIP}" --remove-section=.comment
                            --remove-section=.note "${program}"
                    RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
      message(FATAL_ERROR "strip of '${program}' failed: ${status}")
    endif()
  endif()
endforeach()

foreach(page IN LISTS files)
  if(page MATCHES "/man/man[1-9]/[^/]+$" AND NOT page MATCHES "[.]gz$")
    get_filename_component(directory "${page}" DIRECTORY)
    get_filename_component(name "${page}" NAME)
    quorvix_gzip_into("${page}" "${directory}" "${name}")
    file(REMOVE "${page}")
  endif()
endforeach()

set(packaging "${CPACK_QUORVIX_SOURCE_DIR}/packaging")
if(CPACK_GENERATOR STREQUAL "DEB")
  set(docdir "${root}/usr/share/doc/${CPACK_DEBIAN_PACKAGE_NAME}")
  file(INSTALL "${packaging}/debian/copyright" DESTINATION "${docdir}"
       PERMISSIONS ${file_mode})
  quorvix_gzip_into("${CPACK_QUORVIX_CHANGELOG}" "${docdir}" changelog)
  file(INSTALL "${packaging}/debian/lintian-overrides"
       DESTINATION "${root}/usr/share/lintian/overrides"
       RENAME "${CPACK_DEBIAN_PACKAGE_NAME}"
       PERMISSIONS ${file_mode})
elseif(CPACK_GENERATOR STREQUAL "RPM")
  file(INSTALL "${CPACK_RESOURCE_FILE_LICENSE}"
       DESTINATION "${root}/usr/share/licenses/${CPACK_RPM_PACKAGE_NAME}"
       PERMISSIONS ${file_mode})
endif()

# CPack creates the staging tree's top directories under the umask of the
# one who builds: every directory becomes rwxr-xr-x, and no file is writable
# by group or others.
execute_process(COMMAND chmod -R u=rwX,go=rX "${root}" RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "chmod of the staging tree failed: ${status}")
endif()

