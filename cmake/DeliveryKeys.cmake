# The publisher's delivery keys compiled into Updater.exe: ECDSA P-256 public keys, each a PEM
# file as "openssl ec -pubout" writes it (SubjectPublicKeyInfo). The stock openssl tool reads
# them at configure time; only the points' X and Y reach the program.

set(VINTREL_DELIVERY_PUBLIC_KEYS "" CACHE STRING
  "PEM files of the ECDSA P-256 public keys whose signature Updater.exe requires on a delivery \
(a list; a current and a next key for rotation); empty: deliveries are not signed")

# SubjectPublicKeyInfo of a P-256 key, up to the uncompressed point's first byte (0x04):
# SEQUENCE, SEQUENCE { id-ecPublicKey, prime256v1 }, BIT STRING of 66 bytes.
set(vintrel_p256_spki_head "3059301306072a8648ce3d020106082a8648ce3d03010703420004")
set(vintrel_ec_public_key_oid "06072a8648ce3d0201")
set(vintrel_p256_oid "06082a8648ce3d030107")

function(vintrel_find_openssl_tool)
  if(NOT VINTREL_OPENSSL_TOOL)
    find_program(VINTREL_OPENSSL_TOOL openssl)
  endif()
  if(NOT VINTREL_OPENSSL_TOOL)
    message(FATAL_ERROR "The openssl tool reads the delivery keys: install it (scripts/setup)")
  endif()
endfunction()

# Reads pem, a P-256 public key, into out_var as 128 hexadecimal digits (X then Y); anything
# else fails the configure with the reason.
function(vintrel_read_delivery_public_key pem out_var)
  set(what "VINTREL_DELIVERY_PUBLIC_KEYS: ${pem}")
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
  string(FIND "${hex}" "${vintrel_ec_public_key_oid}" ec_at)
  string(FIND "${hex}" "${vintrel_p256_oid}" p256_at)
  string(LENGTH "${hex}" length)
  string(FIND "${hex}" "${vintrel_p256_spki_head}" head_at)
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
# PEM files given, in their order; no files: a build that does not require signatures.
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
#include \"base/delivery_keys.h\"

DeliveryKeySet CompiledDeliveryKeys() {
@body@
}
")
  add_library(${target} STATIC "${source}")
  target_include_directories(${target} PRIVATE "${PROJECT_SOURCE_DIR}/updater/src")
endfunction()

# Makes the key pair name.pem (private) and name.pub.pem (its public half) in dir with the
# stock openssl tool, once per build tree: for the tests only, never kept in the repository.
function(vintrel_make_test_key_pair dir name)
  vintrel_find_openssl_tool()
  if(EXISTS "${dir}/${name}.pem" AND EXISTS "${dir}/${name}.pub.pem")
    return()
  endif()
  file(MAKE_DIRECTORY "${dir}")
  execute_process(
    COMMAND "${VINTREL_OPENSSL_TOOL}" ecparam -name prime256v1 -genkey -noout -out "${name}.pem"
    COMMAND_ERROR_IS_FATAL ANY WORKING_DIRECTORY "${dir}" OUTPUT_QUIET ERROR_QUIET)
  execute_process(
    COMMAND "${VINTREL_OPENSSL_TOOL}" ec -in "${name}.pem" -pubout -out "${name}.pub.pem"
    COMMAND_ERROR_IS_FATAL ANY WORKING_DIRECTORY "${dir}" OUTPUT_QUIET ERROR_QUIET)
endfunction()
