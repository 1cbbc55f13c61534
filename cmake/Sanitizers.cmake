# Sanitizer builds: configure with -DQUORVIX_SANITIZE=address,undefined or
# -DQUORVIX_SANITIZE=thread (empty, the default, builds without any). The flags
# go to every target defined after this file is included, the daemon, the
# library and the tests alike, since a sanitizer runtime must see the whole
# program.
set(QUORVIX_SANITIZE "" CACHE STRING
  "Sanitizers to build with: empty, \"address,undefined\" or \"thread\"")
set_property(CACHE QUORVIX_SANITIZE PROPERTY STRINGS "" "address,undefined" "thread")

if(QUORVIX_SANITIZE)
  string(REPLACE "," ";" _quorvix_sanitizers "${QUORVIX_SANITIZE}")
  foreach(_quorvix_sanitizer IN LISTS _quorvix_sanitizers)
    if(NOT _quorvix_sanitizer MATCHES "^(address|undefined|thread|leak)$")
      message(FATAL_ERROR "QUORVIX_SANITIZE: unknown sanitizer '${_quorvix_sanitizer}'")
    endif()
  endforeach()
  if("thread" IN_LIST _quorvix_sanitizers AND "address" IN_LIST _quorvix_sanitizers)
    message(FATAL_ERROR "QUORVIX_SANITIZE: thread and address cannot be combined")
  endif()

  set(_quorvix_sanitize_flags -fsanitize=${QUORVIX_SANITIZE} -fno-omit-frame-pointer)
  if("undefined" IN_LIST _quorvix_sanitizers)
    # UBSan only prints and carries on by default: make a report end the
    # process with a failure so that the test which triggered it fails.
    list(APPEND _quorvix_sanitize_flags -fno-sanitize-recover=all)
  endif()
  add_compile_options(${_quorvix_sanitize_flags})
  add_link_options(${_quorvix_sanitize_flags})
  message(STATUS "Sanitizers: ${QUORVIX_SANITIZE}")
endif()
