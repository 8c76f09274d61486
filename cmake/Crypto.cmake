# The crypto library behind image signing: BearSSL, made for this (no heap, small, builds
# freestanding for a Cortex-M0). Built here from Debian's source package where
# IMAGEPACK_BEARSSL_SOURCE names its folder ("apt-get source bearssl"; for cross builds and the
# targets), else the installed libbearssl-dev on a native build. Without either, the programs
# build without signing, and say so when asked to sign or verify. Defines the target
# imagepackCrypto, and IMAGEPACK_HAVE_CRYPTO.
set(IMAGEPACK_BEARSSL_SOURCE "" CACHE PATH "BearSSL's source folder (apt-get source bearssl), built for this target")
add_library(imagepackCrypto INTERFACE)
set(IMAGEPACK_HAVE_CRYPTO FALSE)
if(IMAGEPACK_BEARSSL_SOURCE)
  file(GLOB bearsslSources ${IMAGEPACK_BEARSSL_SOURCE}/src/*.c ${IMAGEPACK_BEARSSL_SOURCE}/src/*/*.c)
  if(NOT bearsslSources)
    message(FATAL_ERROR "IMAGEPACK_BEARSSL_SOURCE: no BearSSL source in ${IMAGEPACK_BEARSSL_SOURCE} (src/*/*.c)")
  endif()
  add_library(bearssl STATIC ${bearsslSources})
  target_include_directories(bearssl SYSTEM PUBLIC ${IMAGEPACK_BEARSSL_SOURCE}/inc PRIVATE ${IMAGEPACK_BEARSSL_SOURCE}/src)
  set_target_properties(bearssl PROPERTIES C_STANDARD 99 POSITION_INDEPENDENT_CODE ON)
  target_link_libraries(imagepackCrypto INTERFACE bearssl)
  set(IMAGEPACK_HAVE_CRYPTO TRUE)
elseif(NOT CMAKE_CROSSCOMPILING)
  find_path(IMAGEPACK_BEARSSL_INCLUDE_DIR bearssl.h)
  find_library(IMAGEPACK_BEARSSL_LIBRARY NAMES bearssl)
  if(IMAGEPACK_BEARSSL_INCLUDE_DIR AND IMAGEPACK_BEARSSL_LIBRARY)
    # Found is not enough: the library must give what signing calls. Asked again at every
    # configure, so that a library installed since is taken up.
    include(CheckCSourceCompiles)
    unset(IMAGEPACK_BEARSSL_WORKS CACHE)
    set(CMAKE_REQUIRED_INCLUDES ${IMAGEPACK_BEARSSL_INCLUDE_DIR})
    set(CMAKE_REQUIRED_LIBRARIES ${IMAGEPACK_BEARSSL_LIBRARY})
    check_c_source_compiles("#include <bearssl.h>
int main(void) { br_sha256_context c; br_sha256_init(&c); return br_ecdsa_i31_vrfy_raw == 0 || br_ec_p256_m31.order == 0; }"
                            IMAGEPACK_BEARSSL_WORKS)
    unset(CMAKE_REQUIRED_INCLUDES)
    unset(CMAKE_REQUIRED_LIBRARIES)
  endif()
  if(IMAGEPACK_BEARSSL_WORKS)
    target_include_directories(imagepackCrypto SYSTEM INTERFACE ${IMAGEPACK_BEARSSL_INCLUDE_DIR})
    target_link_libraries(imagepackCrypto INTERFACE ${IMAGEPACK_BEARSSL_LIBRARY})
    set(IMAGEPACK_HAVE_CRYPTO TRUE)
  endif()
endif()
if(IMAGEPACK_HAVE_CRYPTO)
  target_compile_definitions(imagepackCrypto INTERFACE IMAGEPACK_HAVE_BEARSSL)
  message(STATUS "Image signing: with BearSSL")
else()
  message(STATUS "Image signing: without a crypto library (install libbearssl-dev, or set IMAGEPACK_BEARSSL_SOURCE)")
endif()
