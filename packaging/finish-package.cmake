# Run by CPack (CPACK_POST_BUILD_SCRIPTS) once the packages are made.
#
# CPack gives the members of a Debian package (an ar archive) the modes of
# its scratch files, which follow the umask of the one who builds. Each is
# set to 0644 here, as dpkg-deb sets them, so that the package does not
# depend on that umask. An ar member's header is 60 bytes, after the 8 of
# the archive's magic: its mode is 8 bytes at offset 40, its size 10 bytes at
# offset 48, and its data follows, padded to an even length.

foreach(package IN LISTS CPACK_PACKAGE_FILES)
  if(NOT package MATCHES "[.]deb$")
    continue()
  endif()
  file(SIZE "${package}" size)
  set(offset 8)
  while(offset LESS size)
    math(EXPR mode_offset "${offset} + 40")
    math(EXPR size_offset "${offset} + 48")
    file(READ "${package}" member_size OFFSET ${size_offset} LIMIT 10)
    string(STRIP "${member_size}" member_size)
    if(NOT member_size MATCHES "^[0-9]+$")
      message(FATAL_ERROR "${package}: no ar member header at byte ${offset}")
    endif()
    execute_process(
      COMMAND sh -c "printf '100644  ' | dd of=\"$1\" bs=1 seek=$2 conv=notrunc status=none"
              sh "${package}" ${mode_offset}
      RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
      message(FATAL_ERROR "${package}: cannot set the mode of an ar member")
    endif()
    math(EXPR offset "${offset} + 60 + ${member_size} + ${member_size} % 2")
  endwhile()
endforeach()
