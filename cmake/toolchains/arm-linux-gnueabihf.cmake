# Linux on 32-bit ARM (hard-float), the kind of host a Raspberry Pi-class flashing station runs,
# with Debian's cross compiler (g++-arm-linux-gnueabihf); tests run under qemu-user (Debian's
# qemu-user). 32-bit long, size_t and off_t: where sizes beyond 2 GiB go wrong if anything does.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)

set(CMAKE_FIND_ROOT_PATH /usr/arm-linux-gnueabihf)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/qemu-arm -L /usr/arm-linux-gnueabihf)
set(IMAGEPACK_GTEST_FROM_SOURCE ON CACHE BOOL "")
