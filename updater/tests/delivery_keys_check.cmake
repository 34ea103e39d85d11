# cmake -DOPENSSL=<tool> -DWORK=<folder> -P delivery_keys_check.cmake
# The configure's check of VINTREL_DELIVERY_PUBLIC_KEYS on one file of each kind, made here with
# the openssl tool: a P-256 public key gives its point; anything else stops with its reason.
# With -DPEM=<file> the script instead reads that one file, as the configure does.
list(APPEND CMAKE_MODULE_PATH ${CMAKE_CURRENT_LIST_DIR}/../../cmake)
include(DeliveryKeys)
set(VINTREL_OPENSSL_TOOL "${OPENSSL}")
if(DEFINED PEM)
  vintrel_read_delivery_public_key("${PEM}" point)
  message("point ${point}")
  return()
endif()

file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}")
function(openssl)
  execute_process(COMMAND "${OPENSSL}" ${ARGN} WORKING_DIRECTORY "${WORK}"
    COMMAND_ERROR_IS_FATAL ANY OUTPUT_QUIET ERROR_QUIET)
endfunction()
openssl(ecparam -name prime256v1 -genkey -noout -out p256.pem)
openssl(ec -in p256.pem -pubout -out p256.pub.pem)
openssl(ec -in p256.pem -pubout -conv_form compressed -out compressed.pub.pem)
openssl(ecparam -name secp384r1 -genkey -noout -out p384.pem)
openssl(ec -in p384.pem -pubout -out p384.pub.pem)
openssl(genpkey -algorithm ED25519 -out ed25519.pem)
openssl(pkey -in ed25519.pem -pubout -out ed25519.pub.pem)
file(WRITE "${WORK}/broken.pub.pem" "-----BEGIN PUBLIC KEY-----\nAAAA\n-----END PUBLIC KEY-----\n")
file(WRITE "${WORK}/text.pem" "not a key\n")
# The expected point: the last 65 bytes of the key's DER, after the 0x04.
execute_process(COMMAND "${OPENSSL}" pkey -pubin -in p256.pub.pem -outform DER -out p256.der
  WORKING_DIRECTORY "${WORK}" COMMAND_ERROR_IS_FATAL ANY)
file(READ "${WORK}/p256.der" der HEX)
string(SUBSTRING "${der}" 54 128 expected_point)

set(rows
  "p256.pub.pem|point ${expected_point}"
  "p256.pem|is a private key"
  "text.pem|is not a PEM public key"
  "broken.pub.pem|openssl cannot read it"
  "ed25519.pub.pem|is not an EC key"
  "p384.pub.pem|on another curve than P-256"
  "compressed.pub.pem|not in the uncompressed form"
  "missing.pem|no such file")
set(failed "")
foreach(row IN LISTS rows)
  string(REPLACE "|" ";" row "${row}")
  list(GET row 0 file)
  list(GET row 1 expected)
  execute_process(COMMAND "${CMAKE_COMMAND}" -DOPENSSL=${OPENSSL} -DPEM=${WORK}/${file}
    -P "${CMAKE_CURRENT_LIST_FILE}" WORKING_DIRECTORY "${WORK}"
    RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
  string(REGEX REPLACE "[ \t\r\n]+" " " output "${output}")
  # A valid key passes; every other one stops the configure.
  if(expected MATCHES "^point " AND NOT result EQUAL 0)
    list(APPEND failed "${file}: refused: ${output}")
  elseif(NOT expected MATCHES "^point " AND result EQUAL 0)
    list(APPEND failed "${file}: accepted")
  endif()
  string(FIND "${output}" "${expected}" at)
  if(at EQUAL -1)
    list(APPEND failed "${file}: no \"${expected}\" in: ${output}")
  endif()
endforeach()
if(failed)
  string(REPLACE ";" "\n" failed "${failed}")
  message(FATAL_ERROR "${failed}")
endif()
