# Cross build for the device: 32-bit ARM, little-endian, soft-float (Debian armel, ARMv5TE).
#   cmake -S . -B build-armel -DCMAKE_TOOLCHAIN_FILE=cmake/armel-toolchain.cmake
# The sysroot comes from scripts/armel-sysroot.sh; -DDVRCORE_ARMEL_SYSROOT=... or the environment
# variable of the same name points elsewhere.
#
# Target programs run on this host through qemu-arm: CTest and test discovery use the emulator
# below, and the tests start the core executable through the same words (DVRCORE_LAUNCHER),
# because an emulated process cannot exec another ARM binary itself. The CPU model is qemu's
# default unless QEMU_CPU is set when the tests run (arm926 or arm946: ARMv5TE models, the
# latter without floating-point hardware); every emulated process, the started cores included,
# inherits it.

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

if(NOT DVRCORE_ARMEL_SYSROOT)
  if(DEFINED ENV{DVRCORE_ARMEL_SYSROOT} AND NOT "$ENV{DVRCORE_ARMEL_SYSROOT}" STREQUAL "")
    set(DVRCORE_ARMEL_SYSROOT "$ENV{DVRCORE_ARMEL_SYSROOT}")
  else()
    set(DVRCORE_ARMEL_SYSROOT /opt/dvrcore-deps/armel-sysroot)
  endif()
endif()
set(DVRCORE_ARMEL_SYSROOT "${DVRCORE_ARMEL_SYSROOT}" CACHE PATH
    "Root of the armel libraries and headers")
# try_compile projects read this file again without our cache: hand the sysroot on to them.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES DVRCORE_ARMEL_SYSROOT)

set(CMAKE_C_COMPILER arm-linux-gnueabi-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabi-g++)
set(CMAKE_SYSROOT "${DVRCORE_ARMEL_SYSROOT}")
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabi)

# Libraries, headers and package files come from the sysroot only; programs (qemu, the
# compilers) from the host.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# 64-bit file offsets everywhere: a 32-bit readdir fails with EOVERFLOW on large inode numbers
# (and on every directory under qemu on a 64-bit host). -Wno-psabi hides GCC's notes about the
# ARM parameter-passing change of GCC 7, which concern no interface of ours.
set(CMAKE_C_FLAGS_INIT "-D_FILE_OFFSET_BITS=64 -Wno-psabi")
set(CMAKE_CXX_FLAGS_INIT "-D_FILE_OFFSET_BITS=64 -Wno-psabi")

set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm -L "${DVRCORE_ARMEL_SYSROOT}")
list(JOIN CMAKE_CROSSCOMPILING_EMULATOR " " _dvrcore_launcher)
set(DVRCORE_LAUNCHER "${_dvrcore_launcher}" CACHE STRING
    "Command that starts target executables" FORCE)
