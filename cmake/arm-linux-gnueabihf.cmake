# Cross build for the device's 32-bit ARM processor (ARMv7, hard float) with Debian's cross
# compiler (g++-arm-linux-gnueabihf). scripts/arm.sh uses it:
#
#   cmake -S . -B build-arm -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabihf.cmake \
#         -DORV_ARM_DEPS=$PWD/build-arm/deps -DORV_BUILD_DEV_TOOLS=OFF
#
# Target libraries come from two places: the C and C++ runtime from the cross compiler's own tree
# (/usr/arm-linux-gnueabihf), and SQLite from ORV_ARM_DEPS, a folder with Debian's armhf SQLite
# packages unpacked into it (scripts/arm.sh fetches them), or, when ORV_ARM_DEPS is empty, from
# multiarch packages installed on the machine (libsqlite3-dev:armhf). GoogleTest is compiled
# from Debian's source package (/usr/src/googletest) with the cross compiler.
#
# Programs run on the build machine through qemu-user (CMAKE_CROSSCOMPILING_EMULATOR): the
# device database generator during the build, test discovery, and ctest.

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(ORV_ARM_TRIPLE arm-linux-gnueabihf)
set(ORV_ARM_RUNTIME /usr/${ORV_ARM_TRIPLE})

set(CMAKE_C_COMPILER ${ORV_ARM_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${ORV_ARM_TRIPLE}-g++)
set(CMAKE_STRIP ${ORV_ARM_TRIPLE}-strip CACHE FILEPATH "Strip for the target")

# The toolchain file is read again for every try_compile: carry the settings into it.
set(ORV_ARM_DEPS "" CACHE PATH "Folder with the target's SQLite packages unpacked into it")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ORV_ARM_DEPS)

# Headers and libraries of the target only; programs of the build machine.
set(CMAKE_FIND_ROOT_PATH ${ORV_ARM_RUNTIME})
if(ORV_ARM_DEPS)
  list(APPEND CMAKE_FIND_ROOT_PATH ${ORV_ARM_DEPS})
else()
  list(APPEND CMAKE_FIND_ROOT_PATH /)
endif()
set(CMAKE_LIBRARY_ARCHITECTURE ${ORV_ARM_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config answers for the target: its .pc files only, paths moved into the unpacked tree.
if(ORV_ARM_DEPS)
  set(ENV{PKG_CONFIG_LIBDIR} ${ORV_ARM_DEPS}/usr/lib/${ORV_ARM_TRIPLE}/pkgconfig)
  set(ENV{PKG_CONFIG_SYSROOT_DIR} ${ORV_ARM_DEPS})
else()
  set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${ORV_ARM_TRIPLE}/pkgconfig)
endif()
set(ENV{PKG_CONFIG_PATH} "")

# qemu-user finds the target's loader and C library under -L. Libraries outside that tree
# (SQLite) are found through the build tree's RUNPATH, which qemu resolves on the host.
find_program(ORV_QEMU_ARM NAMES qemu-arm qemu-arm-static)
if(ORV_QEMU_ARM)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${ORV_QEMU_ARM} -L ${ORV_ARM_RUNTIME})
endif()

# GoogleTest from source, built by the cross compiler inside this build.
set(ORV_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources built for the target")
