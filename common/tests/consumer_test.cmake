# Installs the library from the build tree into a fresh folder, then configures, builds and
# runs the consumer project's programs (in WORK_DIR, where they write files) against that
# installed tree only: the DLL's operations, and a fetch through the static fetch library with a
# keys library the consumer makes from a public key; on Linux also the first program built
# through the pkg-config file. With -DREFUSED_CXX_COMPILER=... it instead checks that the package
# refuses a consumer configured with that compiler, at configure time and with its reason.
#
# cmake -DBUILD_DIR=... -DWORK_DIR=... -DSOURCE_DIR=... -DGENERATOR=... -DBUILD_TYPE=...
#       [-DTOOLCHAIN_FILE=... -DEMULATOR=...] [-DCXX_COMPILER=... -DCXX_FLAGS=... -DLINKER_FLAGS=...]
#       [-DPKG_CONFIG=...] [-DREFUSED_CXX_COMPILER=...] -P consumer_test.cmake
cmake_minimum_required(VERSION 3.25)

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "failed (${rc}): ${ARGN}")
  endif()
endfunction()

set(prefix ${WORK_DIR}/install)
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})

# The publisher's key pair of the consumer's fetch: its public half builds the keys library.
find_program(OPENSSL openssl REQUIRED)
run(${OPENSSL} ecparam -name prime256v1 -genkey -noout -out ${WORK_DIR}/delivery.pem)
run(${OPENSSL} ec -in ${WORK_DIR}/delivery.pem -pubout -out ${WORK_DIR}/delivery.pub.pem)

run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix} --component Vintrel_Common)
run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix} --component Vintrel_Common_Runtime)

set(configure ${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${WORK_DIR}/build -G ${GENERATOR}
  -DCMAKE_BUILD_TYPE=${BUILD_TYPE}
  -DCMAKE_PREFIX_PATH=${prefix}
  -DCONSUMER_DELIVERY_KEY=${WORK_DIR}/delivery.pub.pem
  # A cross toolchain searches packages below its own root only; name the package's folder.
  -DVintrel_Common_DIR=${prefix}/lib/cmake/Vintrel_Common)

if(REFUSED_CXX_COMPILER)
  execute_process(COMMAND ${configure} -DCMAKE_CXX_COMPILER=${REFUSED_CXX_COMPILER}
    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  message(STATUS "${out}")
  if(rc EQUAL 0)
    message(FATAL_ERROR "a consumer built with ${REFUSED_CXX_COMPILER} was accepted")
  endif()
  # CMake wraps the package's message: compare it with the line breaks undone.
  string(REGEX REPLACE "[ \n]+" " " flat "${out}")
  if(NOT flat MATCHES "share its C\\+\\+ runtime"
     OR NOT flat MATCHES "cannot be used here: the project targets Linux[^.]*")
    message(FATAL_ERROR "the consumer was refused, but not with the package's reason")
  endif()
  message(STATUS "refused as it must be: ${CMAKE_MATCH_0}")
  return()
endif()

if(TOOLCHAIN_FILE)
  list(APPEND configure --toolchain ${TOOLCHAIN_FILE})
else()
  # The same compiler and flags as the library (sanitizers need both sides instrumented).
  list(APPEND configure -DCMAKE_CXX_COMPILER=${CXX_COMPILER}
    "-DCMAKE_CXX_FLAGS=${CXX_FLAGS}" "-DCMAKE_EXE_LINKER_FLAGS=${LINKER_FLAGS}")
endif()
run(${configure})
run(${CMAKE_COMMAND} --build ${WORK_DIR}/build)

# The fetch: a feed on a loopback port that nothing listens on (1, tcpmux), into a Temp below
# WORK_DIR; under Wine through WinHTTP.
set(feed http://127.0.0.1:1/feed)
if(EMULATOR)
  # Under Wine the program finds the DLL and its runtime DLLs in the installed bin folder.
  set(ENV{WINEPATH} ${prefix}/bin)
  run(${EMULATOR} ${WORK_DIR}/build/consumer.exe WORKING_DIRECTORY ${WORK_DIR})
  run(${EMULATOR} ${WORK_DIR}/build/consumer_fetch.exe ${feed} fetch\\Temp
    WORKING_DIRECTORY ${WORK_DIR})
else()
  run(${WORK_DIR}/build/consumer WORKING_DIRECTORY ${WORK_DIR})
  run(${WORK_DIR}/build/consumer_fetch ${feed} fetch/Temp WORKING_DIRECTORY ${WORK_DIR})
endif()

if(PKG_CONFIG)
  # The same program built by hand from the pkg-config file, as a project without CMake does.
  file(GLOB pc_file ${prefix}/lib*/pkgconfig/vintrel_common.pc ${prefix}/lib/*/pkgconfig/vintrel_common.pc)
  get_filename_component(pc_dir "${pc_file}" DIRECTORY)
  set(ENV{PKG_CONFIG_PATH} ${pc_dir})
  execute_process(COMMAND ${PKG_CONFIG} --cflags --libs vintrel_common
    OUTPUT_VARIABLE pc_flags OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "pkg-config does not know vintrel_common in ${pc_dir}")
  endif()
  separate_arguments(pc_flags UNIX_COMMAND "${pc_flags}")
  separate_arguments(cxx_flags UNIX_COMMAND "${CXX_FLAGS} ${LINKER_FLAGS}")
  run(${CXX_COMPILER} -std=c++17 ${cxx_flags} ${SOURCE_DIR}/main.cpp ${pc_flags}
    -o ${WORK_DIR}/consumer_pkg_config)
  set(ENV{LD_LIBRARY_PATH} ${pc_dir}/..)
  run(${WORK_DIR}/consumer_pkg_config WORKING_DIRECTORY ${WORK_DIR})
endif()
