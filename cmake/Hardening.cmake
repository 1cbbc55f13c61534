# Hardened builds of the daemon: what Debian's dpkg-buildflags gives with
# DEB_BUILD_MAINT_OPTIONS=hardening=+all.
#
#   -D_FORTIFY_SOURCE=2             checked string and memory functions
#   -fstack-protector-strong        stack canaries
#   -fstack-clash-protection        no jumping over the stack guard page
#   -fcf-protection                 control-flow enforcement (x86)
#   -Wformat -Werror=format-security
#   PIE, -Wl,-z,relro -Wl,-z,now    randomised, read-only relocations
#
# They apply to the daemon and the library linked into it, in the optimised
# build types (Release, RelWithDebInfo, MinSizeRel): _FORTIFY_SOURCE needs
# optimisation, and a Debug build is for the debugger. A package is built
# only from a hardened build tree (see quorvix_hardened below).
#
# Sanitizer builds leave out _FORTIFY_SOURCE: the checked functions would
# bypass the sanitizers' interceptors. The fuzz targets are built with flags
# of their own (fuzz/CMakeLists.txt) and do not use these.

option(QUORVIX_HARDENING "Build the daemon with the hardening flags" ON)

include(CheckCXXCompilerFlag)
include(CheckPIESupported)

set(quorvix_hardening_configs Release RelWithDebInfo MinSizeRel)
set(quorvix_hardening_compile -fstack-protector-strong -Wformat -Werror=format-security)
if(NOT QUORVIX_SANITIZE)
  # The compiler may define its own level (Ubuntu's does): this one counts.
  list(PREPEND quorvix_hardening_compile -U_FORTIFY_SOURCE -D_FORTIFY_SOURCE=2)
endif()
# Both are architecture dependent: used where the compiler has them.
check_cxx_compiler_flag(-fstack-clash-protection QUORVIX_HAVE_STACK_CLASH_PROTECTION)
if(QUORVIX_HAVE_STACK_CLASH_PROTECTION)
  list(APPEND quorvix_hardening_compile -fstack-clash-protection)
endif()
check_cxx_compiler_flag(-fcf-protection QUORVIX_HAVE_CF_PROTECTION)
if(QUORVIX_HAVE_CF_PROTECTION)
  list(APPEND quorvix_hardening_compile -fcf-protection)
endif()
check_pie_supported(LANGUAGES CXX)

# Whether the daemon of this (single-configuration) build tree is hardened.
set(quorvix_hardened FALSE)
if(QUORVIX_HARDENING AND NOT QUORVIX_SANITIZE AND CMAKE_BUILD_TYPE IN_LIST quorvix_hardening_configs)
  set(quorvix_hardened TRUE)
endif()

# Builds `target` with the hardening flags in the optimised build types.
function(quorvix_harden target)
  if(NOT QUORVIX_HARDENING)
    return()
  endif()
  set(optimised "$<OR:$<CONFIG:Release>,$<CONFIG:RelWithDebInfo>,$<CONFIG:MinSizeRel>>")
  target_compile_options(${target} PRIVATE "$<${optimised}:${quorvix_hardening_compile}>")
  target_link_options(${target} PRIVATE "$<${optimised}:LINKER:-z,relro,-z,now>")
  set_target_properties(${target} PROPERTIES POSITION_INDEPENDENT_CODE ON)
endfunction()
