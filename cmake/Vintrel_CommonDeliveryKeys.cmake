# The publisher's delivery keys compiled into a program (Updater.exe, vintrel-fetch, the main
# application with the fetch library): vintrel_add_delivery_keys_library makes, from the PEM
# files of the publisher's public keys, the static library that defines CompiledDeliveryKeys().
# The build includes this file; it installs with the development packages, and the package's
# configuration includes it, so that after find_package(Vintrel_Common) a main application
# makes its keys library the same way:
#
#   vintrel_add_delivery_keys_library(app_delivery_keys keys/current.pub.pem keys/next.pub.pem)
#   target_link_libraries(app PRIVATE Vintrel_Common::vintrel_fetch app_delivery_keys)
#
# The stock openssl tool reads the PEM files at configure time; only the points' X and Y reach
# the program. Everything here sits in the functions: a find_package in a function leaves them.

function(vintrel_find_openssl_tool)
  if(NOT VINTREL_OPENSSL_TOOL)
    find_program(VINTREL_OPENSSL_TOOL openssl)
  endif()
  if(NOT VINTREL_OPENSSL_TOOL)
    message(FATAL_ERROR "The openssl tool reads the delivery keys: install it (Debian: openssl), "
      "or give its path as VINTREL_OPENSSL_TOOL")
  endif()
endfunction()

# Reads pem, a P-256 public key as "openssl ec -pubout" writes it (SubjectPublicKeyInfo), into
# out_var as 128 hexadecimal digits (X then Y); anything else fails the configure with the reason.
function(vintrel_read_delivery_public_key pem out_var)
  # SubjectPublicKeyInfo of a P-256 key, up to the uncompressed point's first byte (0x04):
  # SEQUENCE, SEQUENCE { id-ecPublicKey, prime256v1 }, BIT STRING of 66 bytes.
  set(p256_spki_head "3059301306072a8648ce3d020106082a8648ce3d03010703420004")
  set(ec_public_key_oid "06072a8648ce3d0201")
  set(p256_oid "06082a8648ce3d030107")
  set(what "delivery public key ${pem}")
  if(NOT EXISTS "${pem}" OR IS_DIRECTORY "${pem}")
    message(FATAL_ERROR "${what}: no such file")
  endif()
  file(READ "${pem}" text)
  if(text MATCHES "PRIVATE KEY")
    message(FATAL_ERROR "${what}: is a private key, which never goes into a build; give its "
      "public half (openssl ec -in key.pem -pubout -out public.pem)")
  endif()
  if(NOT text MATCHES "-----BEGIN PUBLIC KEY-----")
    message(FATAL_ERROR "${what}: is not a PEM public key (\"-----BEGIN PUBLIC KEY-----\") as "
      "openssl ec -pubout writes it")
  endif()
  vintrel_find_openssl_tool()
  string(MD5 tag "${pem}")
  set(der "${CMAKE_BINARY_DIR}/delivery-keys/${tag}.der")
  file(MAKE_DIRECTORY "${CMAKE_BINARY_DIR}/delivery-keys")
  execute_process(
    COMMAND "${VINTREL_OPENSSL_TOOL}" pkey -pubin -in "${pem}" -outform DER -out "${der}"
    RESULT_VARIABLE result ERROR_VARIABLE error OUTPUT_QUIET)
  if(NOT result EQUAL 0)
    string(STRIP "${error}" error)
    message(FATAL_ERROR "${what}: openssl cannot read it as a public key: ${error}")
  endif()
  file(READ "${der}" hex HEX)
  file(REMOVE "${der}")
  string(FIND "${hex}" "${ec_public_key_oid}" ec_at)
  string(FIND "${hex}" "${p256_oid}" p256_at)
  string(LENGTH "${hex}" length)
  string(FIND "${hex}" "${p256_spki_head}" head_at)
  if(ec_at EQUAL -1)
    message(FATAL_ERROR "${what}: is not an EC key (RSA or another kind); the updater verifies "
      "ECDSA P-256: openssl ecparam -name prime256v1 -genkey -noout -out key.pem")
  elseif(p256_at EQUAL -1)
    message(FATAL_ERROR "${what}: is an EC key on another curve than P-256 (prime256v1)")
  elseif(NOT head_at EQUAL 0 OR NOT length EQUAL 182)
    message(FATAL_ERROR "${what}: its point is not in the uncompressed form that "
      "openssl ec -pubout writes; write it again with openssl ec -pubin -in ${pem} -pubout "
      "-conv_form uncompressed")
  endif()
  string(SUBSTRING "${hex}" 54 128 point)
  set(${out_var} "${point}" PARENT_SCOPE)
endfunction()

# A static library that defines CompiledDeliveryKeys() (delivery_keys.h) with the keys of the
# PEM files given, in their order (relative paths from the project's source folder); no files:
# a program that verifies nothing (the updater takes unsigned deliveries, the fetch fetches
# nothing). The header comes from Vintrel_Common::delivery_keys_header: the source tree's in
# this build, the installed one in a main application's.
function(vintrel_add_delivery_keys_library target)
  set(entries "")
  set(count 0)
  foreach(pem IN LISTS ARGN)
    get_filename_component(pem "${pem}" ABSOLUTE BASE_DIR "${PROJECT_SOURCE_DIR}")
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${pem}")
    vintrel_read_delivery_public_key("${pem}" point)
    string(REGEX REPLACE "(..)" "0x\\1," bytes "${point}")
    string(APPEND entries "    {{${bytes}}},  // ${pem}\n")
    math(EXPR count "${count} + 1")
  endforeach()
  if(count EQUAL 0)
    set(body "  return {nullptr, 0};")
  else()
    set(body "  static const DeliveryPublicKey kKeys[] = {\n${entries}  };\n  return {kKeys, ${count}};")
  endif()
  set(source "${CMAKE_CURRENT_BINARY_DIR}/${target}.cpp")
  file(CONFIGURE OUTPUT "${source}" @ONLY CONTENT
"// Made by CMake from the delivery keys the build was configured with; do not edit.
#include \"delivery_keys.h\"

DeliveryKeySet CompiledDeliveryKeys() {
@body@
}
")
  add_library(${target} STATIC "${source}")
  target_link_libraries(${target} PRIVATE Vintrel_Common::delivery_keys_header)
endfunction()
