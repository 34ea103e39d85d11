# zstd for delta deliveries, as two targets:
#   vintrel::zstd_decoder  what Updater.exe links: decompression only
#   vintrel::zstd          the whole library, for vintrel-pack (it compresses)
# Natively both are Debian's libzstd (libzstd-dev). For mingw Debian ships none, so
# scripts/setup builds two static ones from Debian's zstd source into a cache outside the clone:
# the decoder alone built for size (zstd-mingw-i686-dec) and the whole library (zstd-mingw-i686);
# the folders follow VINTREL_CACHE as the scripts do, ZSTD_MINGW_DECODER_ROOT and
# ZSTD_MINGW_ROOT choose other builds.
include_guard(GLOBAL)

if(NOT CMAKE_CROSSCOMPILING)
  find_package(zstd 1.5 CONFIG REQUIRED)
  add_library(vintrel::zstd_decoder INTERFACE IMPORTED GLOBAL)
  target_link_libraries(vintrel::zstd_decoder INTERFACE zstd::libzstd_shared)
  add_library(vintrel::zstd INTERFACE IMPORTED GLOBAL)
  target_link_libraries(vintrel::zstd INTERFACE zstd::libzstd_shared)
  return()
endif()

set(vintrel_cache /var/cache/vintrel-build)
if(DEFINED ENV{VINTREL_CACHE})
  set(vintrel_cache $ENV{VINTREL_CACHE})
endif()
set(ZSTD_MINGW_DECODER_ROOT ${vintrel_cache}/zstd-mingw-i686-dec
  CACHE PATH "Prefix of zstd's decoder built for i686-w64-mingw32 (Updater.exe)")
set(ZSTD_MINGW_ROOT ${vintrel_cache}/zstd-mingw-i686
  CACHE PATH "Prefix of the whole zstd built for i686-w64-mingw32 (vintrel-pack.exe)")

# vintrel_import_zstd(target name prefix): a static libzstd.a and its headers below prefix,
# found into the cache variables ZSTD_<name>_LIBRARY and ZSTD_<name>_INCLUDE_DIR.
function(vintrel_import_zstd target name prefix)
  # The prefix is not below the cross toolchain's root, so search it alone and as it is.
  find_library(ZSTD_${name}_LIBRARY NAMES libzstd.a PATHS ${prefix}/lib
    NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
  find_path(ZSTD_${name}_INCLUDE_DIR zstd.h PATHS ${prefix}/include NO_DEFAULT_PATH
    NO_CMAKE_FIND_ROOT_PATH)
  if(NOT ZSTD_${name}_LIBRARY OR NOT ZSTD_${name}_INCLUDE_DIR)
    message(FATAL_ERROR "No zstd for ${CMAKE_SYSTEM_NAME} in ${prefix}; run scripts/setup")
  endif()
  add_library(${target} STATIC IMPORTED GLOBAL)
  set_target_properties(${target} PROPERTIES IMPORTED_LOCATION ${ZSTD_${name}_LIBRARY})
  target_include_directories(${target} SYSTEM INTERFACE ${ZSTD_${name}_INCLUDE_DIR})
endfunction()

vintrel_import_zstd(vintrel::zstd_decoder DECODER ${ZSTD_MINGW_DECODER_ROOT})
vintrel_import_zstd(vintrel::zstd FULL ${ZSTD_MINGW_ROOT})
