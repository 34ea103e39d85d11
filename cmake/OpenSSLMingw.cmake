# libcrypto for the mingw build. Debian ships none, so scripts/setup builds a static one from
# Debian's openssl source into a cache outside the clone (with function and data sections and
# no unwind tables, for --gc-sections; the folder follows VINTREL_CACHE as the scripts do).
# find_package(OpenSSL) looks there first; set OPENSSL_ROOT_DIR to use another build.
set(vintrel_cache /var/cache/vintrel-build)
if(DEFINED ENV{VINTREL_CACHE})
  set(vintrel_cache $ENV{VINTREL_CACHE})
endif()
set(OPENSSL_ROOT_DIR ${vintrel_cache}/openssl-mingw-i686-gc
  CACHE PATH "Prefix of the static libcrypto built for i686-w64-mingw32")
set(OPENSSL_USE_STATIC_LIBS TRUE)
if(CMAKE_CROSSCOMPILING)
  # A cross toolchain searches below its own root only; the prefix becomes one more root.
  list(APPEND CMAKE_FIND_ROOT_PATH ${OPENSSL_ROOT_DIR})
endif()

find_package(OpenSSL 3.0 COMPONENTS Crypto)
if(NOT OpenSSL_FOUND)
  message(FATAL_ERROR
    "No libcrypto for ${CMAKE_SYSTEM_NAME} in ${OPENSSL_ROOT_DIR}; run scripts/setup, or set "
    "OPENSSL_ROOT_DIR to the prefix of another static build")
endif()
# What the static library needs from Windows beyond FindOpenSSL's ws2_32 and crypt32 (its
# pkg-config Libs.private, plus the registry and message box calls).
set_property(TARGET OpenSSL::Crypto APPEND PROPERTY INTERFACE_LINK_LIBRARIES gdi32 advapi32 user32)
