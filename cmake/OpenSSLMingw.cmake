# libcrypto for the mingw build: the static library that scripts/setup builds from Debian's
# openssl source into a cache outside the clone. Defines the imported target OpenSSLMingw::Crypto.
set(VINTREL_OPENSSL_MINGW_ROOT /var/cache/vintrel-build/openssl-mingw-i686
  CACHE PATH "Prefix of the static libcrypto built for i686-w64-mingw32")

if(NOT EXISTS ${VINTREL_OPENSSL_MINGW_ROOT}/lib/libcrypto.a)
  message(FATAL_ERROR
    "No mingw libcrypto in ${VINTREL_OPENSSL_MINGW_ROOT}; run scripts/setup")
endif()

if(NOT TARGET OpenSSLMingw::Crypto)
  add_library(OpenSSLMingw::Crypto STATIC IMPORTED)
  set_target_properties(OpenSSLMingw::Crypto PROPERTIES
    IMPORTED_LOCATION ${VINTREL_OPENSSL_MINGW_ROOT}/lib/libcrypto.a
    INTERFACE_INCLUDE_DIRECTORIES ${VINTREL_OPENSSL_MINGW_ROOT}/include
    # What the static library itself needs from Windows (its pkg-config Libs.private, plus
    # the registry and message box calls that mingw's default libraries usually cover).
    INTERFACE_LINK_LIBRARIES "ws2_32;gdi32;crypt32;advapi32;user32")
endif()
