# The publisher's delivery keys compiled into Updater.exe: ECDSA P-256 public keys, each a PEM
# file as "openssl ec -pubout" writes it (SubjectPublicKeyInfo). The stock openssl tool reads
# them at configure time; only the points' X and Y reach the program.

set(VINTREL_DELIVERY_PUBLIC_KEYS "" CACHE STRING
  "PEM files of the ECDSA P-256 public keys whose signature Updater.exe requires on a delivery \
(a list; a current and a next key for rotation); empty: deliveries are not signed")

# Reading the keys and making the keys library: the same file installs with the development
# packages, so that a main application makes its keys library as this build does.
include(${CMAKE_CURRENT_LIST_DIR}/Vintrel_CommonDeliveryKeys.cmake)

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
