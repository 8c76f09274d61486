# Finds what the tests and benchmarks are built with, so that building the programs never
# needs either. GoogleTest: the installed package (libgtest-dev) when there is one, else built
# from the sources Debian's googletest package puts in /usr/src/googletest, never downloaded.
# Google Benchmark: the installed package (libbenchmark-dev). Sets IMAGEPACK_HAVE_GTEST and
# IMAGEPACK_HAVE_BENCHMARK, and says once what is left out and how to get it.
include(FetchContent)

set(IMAGEPACK_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH
    "GoogleTest sources to build when no installed GoogleTest is found")
# Cross builds set this: the host's installed GoogleTest is built for the wrong machine.
option(IMAGEPACK_GTEST_FROM_SOURCE "Always build GoogleTest from IMAGEPACK_GTEST_SOURCE_DIR" OFF)

set(IMAGEPACK_HAVE_GTEST OFF)
if(BUILD_TESTING AND NOT IMAGEPACK_GTEST_FROM_SOURCE)
  find_package(GTest QUIET)
  if(GTest_FOUND)
    set(IMAGEPACK_HAVE_GTEST ON)
  endif()
endif()
if(BUILD_TESTING AND NOT IMAGEPACK_HAVE_GTEST AND EXISTS "${IMAGEPACK_GTEST_SOURCE_DIR}/CMakeLists.txt")
  set(gtest_disable_pthreads ON CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  # A local SOURCE_DIR and no download method: populating only names the directory.
  FetchContent_Declare(googletest SOURCE_DIR "${IMAGEPACK_GTEST_SOURCE_DIR}")
  FetchContent_GetProperties(googletest)
  if(NOT googletest_POPULATED)
    FetchContent_Populate(googletest)
    add_subdirectory(${googletest_SOURCE_DIR} ${googletest_BINARY_DIR} EXCLUDE_FROM_ALL)
  endif()
  set(IMAGEPACK_HAVE_GTEST ON)
  message(STATUS "GoogleTest: building it from ${IMAGEPACK_GTEST_SOURCE_DIR}")
endif()

set(IMAGEPACK_HAVE_BENCHMARK OFF)
if(NOT CMAKE_CROSSCOMPILING)
  find_package(benchmark QUIET)
  if(benchmark_FOUND)
    set(IMAGEPACK_HAVE_BENCHMARK ON)
  endif()
endif()

set(leftOut "")
if(BUILD_TESTING AND NOT IMAGEPACK_HAVE_GTEST)
  list(APPEND leftOut "the tests (install Debian's googletest or libgtest-dev, or pass -DIMAGEPACK_GTEST_SOURCE_DIR=<GoogleTest sources>)")
endif()
if(NOT IMAGEPACK_HAVE_BENCHMARK AND NOT CMAKE_CROSSCOMPILING)
  list(APPEND leftOut "the kernel benchmarks (install libbenchmark-dev)")
endif()
if(leftOut)
  list(JOIN leftOut " and " leftOut)
  message(STATUS "Left out: ${leftOut}. The programs build without them; configure again once installed.")
endif()
