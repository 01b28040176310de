# Cross build for the BMC: 32-bit ARM, hard float (armhf), with Debian's
# arm-linux-gnueabihf toolchain and the armhf libraries installed beside
# the host's (multiarch).  scripts/setup-armhf.sh installs all of it.
#
#   cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/armhf-toolchain.cmake
#
# Test programs run through qemu-arm (CMAKE_CROSSCOMPILING_EMULATOR), so
# gtest_discover_tests and ctest work on the build machine as they do in a
# native build.

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)

set(TK_ARMHF_TRIPLE arm-linux-gnueabihf)
set(CMAKE_C_COMPILER ${TK_ARMHF_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${TK_ARMHF_TRIPLE}-g++)

# The cross toolchain's own tree, the first place to look for target files.
set(TK_ARMHF_SYSROOT /usr/${TK_ARMHF_TRIPLE})

# Target files come from the cross tree and from the multiarch directories
# (/usr/lib/arm-linux-gnueabihf, found through CMAKE_LIBRARY_ARCHITECTURE);
# programs run during the build are the build machine's.
set(CMAKE_FIND_ROOT_PATH ${TK_ARMHF_SYSROOT} /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

# pkg-config answers for the target: armhf .pc files and the
# architecture-independent ones, never the build machine's.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${TK_ARMHF_TRIPLE}/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "")

# Test programs run under user-mode QEMU.  They load the armhf run-time of
# the multiarch directories (libc6:armhf, libstdc++6:armhf and the libraries
# beside them), dynamic loader included, so the loader prefix is the root.
# The cross tree's loader (/usr/arm-linux-gnueabihf, a different build of
# the same glibc) must not be used: it finds libc.so.6 of the multiarch tree
# through the loader cache, and a loader and libc of two builds crash in
# pthread_create.
set(TK_ARMHF_LOADER_PREFIX / CACHE PATH "armhf: loader prefix for qemu-arm (-L)")
find_program(TK_QEMU_ARM qemu-arm REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${TK_QEMU_ARM};-L;${TK_ARMHF_LOADER_PREFIX})

# Large-file interfaces: 64-bit off_t, ino_t and friends, so that stat(),
# readdir() and statvfs() keep working on file systems with 64-bit inode
# numbers or block counts instead of failing with EOVERFLOW.  No interface
# between the daemon and its platform libraries passes any of these types.
#
# time_t stays 32-bit by default.  The card and pipe formats hold 32-bit
# times whatever time_t is, and the platform's libraries (the firmware's on
# the BMC, hiredis and libfaketime from Debian 12 here) are built with a
# 32-bit time_t: struct timeval crosses sigwrap_select() and hiredis's
# time-out calls by value or by pointer, and would be read with the wrong
# layout by a library of the other width.  TK_ARMHF_TIME64 switches to a
# 64-bit time_t for a platform built that way throughout.
option(TK_ARMHF_TIME64 "armhf: 64-bit time_t (the platform libraries must be built with it too)" OFF)
# -Wno-psabi: GCC notes every std::vector or std::map iterator passed by
# value that its ARM calling convention changed in GCC 7.1; everything here
# is built with one compiler.
set(TK_ARMHF_FLAGS "-D_FILE_OFFSET_BITS=64 -Wno-psabi")
if(TK_ARMHF_TIME64)
  string(APPEND TK_ARMHF_FLAGS " -D_TIME_BITS=64")
endif()
set(CMAKE_C_FLAGS_INIT "${TK_ARMHF_FLAGS}")
set(CMAKE_CXX_FLAGS_INIT "${TK_ARMHF_FLAGS}")
