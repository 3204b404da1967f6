# Cross build for 64-bit ARM Linux (Debian's arm64) with Debian's
# g++-aarch64-linux-gnu, against the sysroot that scripts/arm64-sysroot.sh
# makes (ZORV_ARM64_SYSROOT, /var/cache/zorv-arm64/sysroot by default).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)

if(NOT ZORV_ARM64_SYSROOT)
  if(DEFINED ENV{ZORV_ARM64_SYSROOT})
    set(ZORV_ARM64_SYSROOT $ENV{ZORV_ARM64_SYSROOT})
  else()
    set(ZORV_ARM64_SYSROOT /var/cache/zorv-arm64/sysroot)
  endif()
endif()
if(NOT EXISTS ${ZORV_ARM64_SYSROOT}/usr/include/aarch64-linux-gnu)
  message(FATAL_ERROR "No arm64 sysroot in ${ZORV_ARM64_SYSROOT}: scripts/arm64-sysroot.sh makes it")
endif()
set(ZORV_ARM64_SYSROOT ${ZORV_ARM64_SYSROOT} CACHE PATH "The arm64 sysroot (scripts/arm64-sysroot.sh)")
# The toolchain file is read again by every try_compile: the variable must
# reach them.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ZORV_ARM64_SYSROOT)

set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_SYSROOT ${ZORV_ARM64_SYSROOT})
set(CMAKE_FIND_ROOT_PATH ${ZORV_ARM64_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config reads the target's .pc files and prefixes their paths with the
# sysroot.
set(ENV{PKG_CONFIG_LIBDIR}
  "${ZORV_ARM64_SYSROOT}/usr/lib/aarch64-linux-gnu/pkgconfig:${ZORV_ARM64_SYSROOT}/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")
set(ENV{PKG_CONFIG_SYSROOT_DIR} ${ZORV_ARM64_SYSROOT})

# The tree's programs run under qemu-user (cmake/toolchains/qemu-aarch64.sh):
# the tests and GoogleTest's discovery of them as CMake runs any
# cross-built program, the programs that the tests start through
# ZORV_EMULATOR (tests/support/emulator.h), with ZORV_EMULATOR_ENVIRONMENT.
set(ZORV_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/qemu-aarch64.sh)
set(ZORV_EMULATOR_ENVIRONMENT ZORV_TEST_SYSROOT=${ZORV_ARM64_SYSROOT})
set(CMAKE_CROSSCOMPILING_EMULATOR env ${ZORV_EMULATOR_ENVIRONMENT} ${ZORV_EMULATOR})
