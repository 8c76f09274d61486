# Cortex-M, bare metal: clang compiles for arm-none-eabi and GNU binutils for the same target
# (Debian's binutils-arm-none-eabi) link and convert. No C library is needed: the program
# brings its own start-up code. ARM_CPU names the core (cortex-m4 unless given).
set(CMAKE_SYSTEM_NAME Generic)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(CMAKE_C_COMPILER clang)
set(CMAKE_C_COMPILER_TARGET arm-none-eabi)
if(NOT ARM_CPU)
  set(ARM_CPU cortex-m4)
endif()
# A build folder keeps the compiler flags of its first configure, -mcpu included: configuring it
# again for another core would still build for the old one, so that is refused.
if(DEFINED CACHE{ARM_CPU_CONFIGURED} AND NOT ARM_CPU_CONFIGURED STREQUAL ARM_CPU)
  message(FATAL_ERROR "ARM_CPU is ${ARM_CPU}, but this build folder was configured for ${ARM_CPU_CONFIGURED}, "
                      "whose compiler flags it keeps: configure a new build folder for ${ARM_CPU}")
endif()
set(ARM_CPU_CONFIGURED ${ARM_CPU} CACHE INTERNAL "The core this build folder was configured for")
# The compiler checks run in projects of their own, which must get the same core.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ARM_CPU)
set(CMAKE_C_FLAGS_INIT "-mcpu=${ARM_CPU} -mthumb -ffreestanding -fno-builtin -Os")
# The compiler check makes a library, not a program: there is no C library to link against.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
find_program(CMAKE_OBJCOPY arm-none-eabi-objcopy REQUIRED)
find_program(armLinker arm-none-eabi-ld REQUIRED)
set(CMAKE_C_LINK_EXECUTABLE "${armLinker} <LINK_FLAGS> <OBJECTS> -o <TARGET> <LINK_LIBRARIES>")

# As in most firmware toolchains, libraries and headers come from the target's tree only.
set(CMAKE_FIND_ROOT_PATH /usr/lib/arm-none-eabi)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
