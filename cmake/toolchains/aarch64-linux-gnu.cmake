# Cross-builds for Linux on aarch64 with Debian's cross compiler (g++-aarch64-linux-gnu).
#
#   cmake -S . -B build-aarch64 \
#     -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/aarch64-linux-gnu.cmake \
#     -DKESTRELITE_AARCH64_ROOT=TREE
#
# TREE is an unpacked arm64 Debian tree (scripts/aarch64.sh makes one): the interpreter's
# headers, GoogleTest, xxHash and Dragonbox are taken from it, never from the build machine.
# The variable may also come from the environment. With qemu-aarch64 installed, ctest runs
# the unit tests through it.

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

if(NOT KESTRELITE_AARCH64_ROOT AND DEFINED ENV{KESTRELITE_AARCH64_ROOT})
  set(KESTRELITE_AARCH64_ROOT "$ENV{KESTRELITE_AARCH64_ROOT}")
endif()
if(NOT KESTRELITE_AARCH64_ROOT)
  message(FATAL_ERROR "set KESTRELITE_AARCH64_ROOT to an unpacked arm64 Debian tree")
endif()
if(NOT IS_DIRECTORY "${KESTRELITE_AARCH64_ROOT}/usr/lib/aarch64-linux-gnu")
  message(FATAL_ERROR "${KESTRELITE_AARCH64_ROOT} is not an arm64 Debian tree")
endif()
# The checks CMake compiles while configuring read this file again, without the cache.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES KESTRELITE_AARCH64_ROOT)

# Headers, libraries and CMake packages come only from the tree; programs run while
# building (cmake, the host interpreter) come from the build machine.
set(CMAKE_FIND_ROOT_PATH "${KESTRELITE_AARCH64_ROOT}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)

# Debian's Python.h reaches the arm64 pyconfig.h through a multiarch folder under
# usr/include; the tree's usr/include comes after the compiler's own folders.
set(Python3_INCLUDE_DIR "${KESTRELITE_AARCH64_ROOT}/usr/include/python3.11" CACHE PATH
    "the interpreter headers of the arm64 tree")
string(APPEND CMAKE_CXX_FLAGS_INIT " -idirafter ${KESTRELITE_AARCH64_ROOT}/usr/include")

find_program(KESTRELITE_QEMU_AARCH64 qemu-aarch64)
if(KESTRELITE_QEMU_AARCH64)
  set(CMAKE_CROSSCOMPILING_EMULATOR "${KESTRELITE_QEMU_AARCH64};-L;${KESTRELITE_AARCH64_ROOT}")
endif()
