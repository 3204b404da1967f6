# Hardened binaries, with the flags Debian's dpkg-buildflags gives under
# DEB_BUILD_MAINT_OPTIONS=hardening=+all (written out here, so that the build
# does not need dpkg-dev): stack protection, fortified libc calls, format
# string checks, full RELRO with immediate binding, and programs as PIE.
#
# Sanitizer and fuzzing trees are left as they are: the checked variants that
# _FORTIFY_SOURCE substitutes slip past the sanitizers' interceptors, and the
# sanitizers check more than these flags do.
option(ZORV_HARDENING "Build with stack protection, fortified functions, full RELRO and PIE" ON)

set(ZORV_HARDENED OFF)
set(ZORV_FORTIFIED OFF)
if(ZORV_HARDENING AND NOT ZORV_SANITIZE AND NOT ZORV_BUILD_FUZZ)
  set(ZORV_HARDENED ON)
  include(CheckPIESupported)
  check_pie_supported(OUTPUT_VARIABLE pie_error LANGUAGES C CXX)
  if(NOT CMAKE_CXX_LINK_PIE_SUPPORTED)
    message(FATAL_ERROR "the linker cannot make position-independent programs: ${pie_error}")
  endif()

  add_compile_options(-fstack-protector-strong -Wformat -Werror=format-security)
  add_link_options(LINKER:-z,relro LINKER:-z,now)
  # Newer Debian releases add stack clash protection and the processor's
  # control-flow protection as well; taken where the compiler has them.
  set(extra -fstack-clash-protection)
  if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|i.86)$")
    list(APPEND extra -fcf-protection)
  elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|arm64)$")
    list(APPEND extra -mbranch-protection=standard)
  endif()
  include(CheckCXXCompilerFlag)
  foreach(flag ${extra})
    string(MAKE_C_IDENTIFIER "ZORV_HAS${flag}" known)
    check_cxx_compiler_flag(${flag} ${known})
    if(${known})
      add_compile_options(${flag})
    endif()
  endforeach()

  # The checked variants are chosen by the optimiser: without optimisation
  # glibc only warns that _FORTIFY_SOURCE does nothing. A level already given
  # in the flags (a distribution's own build) is kept.
  string(TOUPPER "${CMAKE_BUILD_TYPE}" build_type)
  set(flags "${CMAKE_CXX_FLAGS} ${CMAKE_CXX_FLAGS_${build_type}}")
  string(REGEX MATCHALL "-O[0-9sgz]?" levels "${flags}")
  list(POP_BACK levels level)
  if(flags MATCHES "-D *_FORTIFY_SOURCE")
    set(ZORV_FORTIFIED ON)
  elseif(level AND NOT level STREQUAL "-O0")
    add_compile_definitions(_FORTIFY_SOURCE=2)
    set(ZORV_FORTIFIED ON)
  endif()
endif()
